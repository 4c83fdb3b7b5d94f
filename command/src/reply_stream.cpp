#include "reply_stream.h"

namespace epson::protocol {
namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// Whether `reply` ("#..." or "!...") answers the command whose success prefix is `prefix`
// ("#Name"): a success reply begins with the prefix, an error reply with "!Name".
bool answers(std::string_view reply, std::string_view prefix) {
  if (prefix.empty()) return false;
  if (reply[0] == '#') return startsWith(reply, prefix);
  return startsWith(reply.substr(1), prefix.substr(1));
}

// "!99", "!" or "!,3": an error that names no command, as a controller reports a failure of
// the connection as a whole.
bool namesNoCommand(std::string_view reply) {
  const char c = reply.size() > 1 ? reply[1] : '\0';
  return !((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
}

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

std::size_t dueIndex(std::string_view reply, const std::vector<std::string>& due) {
  if (reply.empty()) return due.size();
  for (std::size_t i = 0; i < due.size(); ++i) {
    if (answers(reply, due[i])) return i;
  }
  return due.size();
}

ReplyRoute routeReply(std::string_view reply, const RoutingState& state) {
  const ReplyRoute nobody = state.stale ? ReplyRoute::kStale : ReplyRoute::kUnexpected;
  if (reply.empty() || (reply[0] != '#' && reply[0] != '!')) return nobody;
  const bool error = reply[0] == '!';
  const bool for_awaited = answers(reply, state.awaited);
  if (for_awaited && !state.stale) return ReplyRoute::kAwaited;
  if (!state.control.empty() && (error ? !for_awaited : answers(reply, state.control))) {
    return ReplyRoute::kControl;
  }
  if (state.due != nullptr && dueIndex(reply, *state.due) < state.due->size()) {
    return ReplyRoute::kDue;
  }
  if (error && !state.stale && !state.awaited.empty() && namesNoCommand(reply)) {
    return ReplyRoute::kAwaited;
  }
  return nobody;
}

}  // namespace epson::protocol
