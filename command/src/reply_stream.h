#pragma once

// Pure logic of the reply stream on the command socket: where a reply ends, and which waiting
// party a reply belongs to. No I/O and no locks; the Impl applies these under its own locks, and
// tests and fuzzers call them directly.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

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

// Who takes a reply that arrived on the command socket.
enum class ReplyRoute {
  kAwaited,     // the reply (or error) of the command being waited for
  kControl,     // the reply of the $Pause/$Continue written beside a running motion
  kDue,         // the late reply of a control command that gave up waiting: discard
  kStale,       // received before the command was written, and nobody else's: discard
  kUnexpected,  // nobody's: the session is out of step
};

struct RoutingState {
  // "#" + name of the command being waited for; empty when nothing is awaited.
  std::string_view awaited;
  // Prefix of the control command still waiting for its reply; empty when none.
  std::string_view control;
  // Prefixes of control commands that gave up while their reply was still due.
  const std::vector<std::string>* due = nullptr;
  // The reply began before the awaited command was written, so it cannot be its answer.
  bool stale = false;
};

// Success replies go to the party whose prefix they begin with. An error reply ("!" + name)
// stays with the awaited command when it names it; otherwise a waiting control command takes it,
// whether it names that command or none of the two. A due control command's reply is discarded
// only when no party waiting now takes it.
ReplyRoute routeReply(std::string_view reply, const RoutingState& state);

// Index in `due` of the entry the reply answers, or due.size() when none.
std::size_t dueIndex(std::string_view reply, const std::vector<std::string>& due);

}  // namespace epson::protocol
