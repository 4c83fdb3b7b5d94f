// The failure texts that end the docstrings of the command client's operations, filled once from
// the native deadlines. Shared by the binding files of each concern (bind_*.h).

#pragma once

#include <string>

#include <epson/brevacon.h>

#include "docstrings.h"

namespace epson_python {

// them, after its own. The table-driven test of the error classes holds the code to these words.
constexpr const char* kExchangeRaises =
    R"doc(    ControllerError: If the controller answers with an error reply; ``code`` tells which.
    TimeoutError: If a reply does not come within {reply_timeout}; the session is then closed.
    ConnectionLostError: If the session is not connected, or the connection ends or falls out
        of step while a reply is awaited.
    KeyboardInterrupt: On Ctrl-C while it waits; a command whose reply was still due closes
        the session.
)doc";

// Queries: a reply that is not the value asked for.
constexpr const char* kParseRaises =
    "    RuntimeError: If the reply cannot be read as the expected value.\n";

// pause and continue_motion: their reply has a deadline of its own.
constexpr const char* kControlRaises = R"doc(
Raises:
    ControllerError: If the controller refuses, for example outside Auto mode or with nothing
        to pause or continue.
    TimeoutError: If no reply comes within {control_reply}.
    ConnectionLostError: If the session is not connected or the connection ends.
)doc";

// What every motion (go, move, jump, jump3) may raise.
constexpr const char* kMotionRaises = R"doc(Raises:
    ValueError: If the arguments cannot form a valid statement; nothing is sent then.
    MotionAbortedError: If ``abort_motion()`` ended the motion.
    ControllerError: If the controller refuses the motion or it fails.
    ConnectionLostError: If the session is gone or the controller stops answering.
    TimeoutError: If the motion does not end within {motion_timeout}.
    KeyboardInterrupt: On Ctrl-C, after the motion was aborted.
)doc";

struct BrevaconDocs {
  std::string reply_timeout = durationText(epson::Brevacon::kReplyTimeout);
  std::string control_reply = durationText(epson::Brevacon::kControlReplyTimeout);
  std::string motion_timeout = durationText(epson::Brevacon::kMotionTimeout);
  std::string exchange_raises = filled(kExchangeRaises, {{"{reply_timeout}", reply_timeout}});
  std::string control_raises = filled(kControlRaises, {{"{control_reply}", control_reply}});
  std::string parse_raises = kParseRaises;
  std::string motion_raises = filled(kMotionRaises, {{"{motion_timeout}", motion_timeout}});

  // A docstring whose text names its own failures and then {exchange_raises}.
  std::string exchanging(const char* doc) const {
    return filled(doc, {{"{exchange_raises}", exchange_raises}});
  }
  // An operation's text, then a Raises section: its own failures first, then the exchange's.
  std::string raising(std::string doc, const std::string& own = "") const {
    while (!doc.empty() && doc.back() == '\n') doc.pop_back();
    return doc + "\n\nRaises:\n" + own + exchange_raises;
  }
};

}  // namespace epson_python
