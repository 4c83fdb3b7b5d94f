#include "reply_stream.h"

namespace epson::protocol {
namespace {

bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

std::size_t ReplyFramer::scan(std::string_view pending) {
  for (std::size_t i = pending.find_first_of("\"\n", searched_); i != std::string_view::npos;
       i = pending.find_first_of("\"\n", i + 1)) {
    if (pending[i] == '"') {
      inQuotes_ = !inQuotes_;
    } else if (!inQuotes_) {
      reset();
      return i + 1;
    }
  }
  searched_ = pending.size();
  return 0;
}

std::string replyText(std::string_view raw) {
  std::string text;
  text.reserve(raw.size());
  std::size_t start = 0;
  while (start < raw.size()) {
    std::size_t lf = raw.find('\n', start);
    if (lf == std::string_view::npos) lf = raw.size();
    std::size_t end = lf;
    if (end > start && raw[end - 1] == '\r') --end;
    if (start != 0) text += '\n';
    text.append(raw.substr(start, end - start));
    start = lf + 1;
  }
  return text;
}

std::optional<std::string_view> replyName(std::string_view reply) {
  if (reply.empty() || (reply[0] != '#' && reply[0] != '!')) return std::nullopt;
  std::size_t end = 1;
  while (end < reply.size() && isLetter(reply[end])) ++end;
  if (end == 1 && reply[0] == '#') return std::nullopt;
  return reply.substr(1, end - 1);
}

}  // namespace epson::protocol
