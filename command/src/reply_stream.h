#pragma once

// Pure logic of the reply stream on the command socket: where a reply ends, and which outstanding
// command a reply answers. No I/O and no locks; the Impl applies these under its own locks, and
// tests and fuzzers call them directly.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace epson::protocol {

// Largest reply the client buffers, all of its lines together, not counting the final line feed.
// A peer that sends more without completing a reply is cut off: the bound keeps a hostile or
// broken peer from growing the buffer.
inline constexpr std::size_t kMaxReplyBytes = std::size_t{1024} * 1024;

// Finds where replies end in the received bytes. A reply ends at a line feed outside double
// quotes, since a quoted result may hold line breaks. Each byte is examined once: the framer
// remembers how far it has searched and the quote parity so far.
class ReplyFramer {
 public:
  // `pending` holds the unconsumed bytes, starting at the first byte of the current reply; it
  // may only have grown since the last call. Returns the length of the complete reply through
  // its final line feed, or 0 when more bytes are needed.
  std::size_t scan(std::string_view pending);
  // Called after the caller consumed the reply scan() found, or dropped the whole buffer.
  void reset() {
    searched_ = 0;
    inQuotes_ = false;
  }

 private:
  std::size_t searched_ = 0;
  bool inQuotes_ = false;
};

// The text of a framed reply (through its final line feed): its lines joined by line feeds, with
// one carriage return before each line feed removed.
std::string replyText(std::string_view raw);

// The name a reply carries: the letters after its first character ("#GetStatus,..." gives
// "GetStatus"). Empty for an error that names no command ("!99", "!,3"), as a controller reports a
// failure of the connection as a whole. None for a line that is no reply: one that begins with
// neither "#" nor "!", an empty line, or a success that names nothing.
std::optional<std::string_view> replyName(std::string_view reply);

inline constexpr std::size_t kAnswersNothing = static_cast<std::size_t>(-1);

// Index in `queue` (oldest first) of the outstanding command `reply` answers: the oldest whose
// name (`name_of(entry)`) the reply carries, or for an error naming no command the oldest of all.
// `skip(entry)` leaves an entry out. kAnswersNothing when none: the session is out of step.
template <typename Queue, typename NameOf, typename Skip>
std::size_t answeredIndex(std::string_view reply, const Queue& queue, NameOf name_of, Skip skip) {
  const std::optional<std::string_view> name = replyName(reply);
  if (!name) return kAnswersNothing;
  std::size_t index = 0;
  for (const auto& entry : queue) {
    if (!skip(entry) && (name->empty() || std::string_view(name_of(entry)) == *name)) return index;
    ++index;
  }
  return kAnswersNothing;
}

}  // namespace epson::protocol
