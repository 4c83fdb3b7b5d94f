// Drives both stream framers through their public classes over loopback, and holds them to a
// small model of the framing.
//
// Input: the first byte picks the stream and a variant; the rest is a program that expands into
// the bytes the peer sends, so that a short input reaches the size caps:
//   0xFE B N   the byte B, (1 + (N & 15)) << (N >> 4) times: 1 to 512 KiB, on a scale that keeps
//              most runs short (a few runs reach any length exactly: 65535 = 0xFE B 0xCE, then
//              0xFE B 0x8E, 0xFE B 0x4E, 0xFE B 0x0E)
//   0xFD X     the byte X itself (how 0xFD and 0xFE are sent)
//   any other  itself
// The expansion stops at 96 KiB, past the telemetry cap, or at 2 MiB, past the command cap, when
// bits 6 and 7 of the first byte are both set: a long stream costs milliseconds, so only a
// quarter of the inputs may ask for one.
//
// Command stream (first byte even): an epson::Brevacon logged in to an in-process peer sends
// getControllerStatus() (bit 1 clear) or resetController() (bit 1 set); the peer answers with the
// expanded bytes. The model finds the first reply (it ends at the first LF outside double quotes)
// and predicts the call's outcome: a value, the controller's error, a result that does not parse,
// a reply for nobody, end of stream, or the 1 MiB cap; and whether the session survives. The
// peer closes the connection unless the bytes are exactly one reply that leaves the session
// intact, so no call waits for its 5 s deadline; an intact session serves the next input.
// Bits 2-5 set the step in which the same bytes go through ReplyFramer directly.
//
// Telemetry stream (first byte odd): an epson::EthernetReceiveInterface, connected once, receives
// a known sample and status, the expanded bytes, and a CR and an end marker: a status packet (bit 1
// clear) or a sample packet (bit 1 set). Once the marker shows, the other of the two must be the
// last one the model published: packets end at CR, and one that does not fit in 64 KiB with its
// CR is dropped up to the next CR, together with the pending fields.

#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <epson/brevacon.h>
#include <epson/ethernet_receive_interface.h>

#include "fuzz_support.h"
#include "loopback_peers.h"
#include "packet_parser.h"
#include "protocol.h"
#include "reply_stream.h"
#include "telemetry_model.h"

namespace epson::fuzz {
namespace {

namespace p = epson::protocol;
using std::chrono::milliseconds;

constexpr std::size_t kShortStream = 96 * 1024;
constexpr std::size_t kLongStream = 2 * 1024 * 1024;
// Every wait here is bounded; a wait that runs out is reported as a hang.
constexpr milliseconds kWaitLimit{10000};

std::string expand(std::string_view program, std::size_t limit) {
  std::string out;
  for (std::size_t i = 0; i < program.size() && out.size() < limit; ++i) {
    const auto op = static_cast<std::uint8_t>(program[i]);
    if (op == 0xFE && i + 2 < program.size()) {
      const auto n = static_cast<std::uint8_t>(program[i + 2]);
      const std::size_t count = std::size_t{1U + (n & 15U)} << (n >> 4);
      out.append(std::min(count, limit - out.size()), program[i + 1]);
      i += 2;
    } else if (op == 0xFD && i + 1 < program.size()) {
      out += program[++i];
    } else {
      out += program[i];
    }
  }
  return out;
}

// --- Command stream ------------------------------------------------------------------------------

// Where replies end: at each LF outside double quotes, the quote count starting afresh with each
// reply (it is even at every end). At most `limit` ends.
std::vector<std::size_t> replyEnds(std::string_view stream, std::size_t limit) {
  std::vector<std::size_t> ends;
  bool quoted = false;
  std::size_t quote = stream.find('"');
  for (std::size_t lf = stream.find('\n'); lf != std::string_view::npos && ends.size() < limit;) {
    if (quote < lf) {
      quoted = !quoted;
      quote = stream.find('"', quote + 1);
      continue;
    }
    if (!quoted) ends.push_back(lf + 1);
    lf = stream.find('\n', lf + 1);
  }
  return ends;
}

// The text of a reply through its final LF: its lines, each without one trailing CR, joined by LF.
std::string replyTextOf(std::string_view raw) {
  std::string text;
  raw.remove_suffix(1);
  for (std::size_t start = 0;;) {
    const std::size_t lf = std::min(raw.find('\n', start), raw.size());
    std::string_view line = raw.substr(start, lf - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    text.append(line);
    if (lf == raw.size()) return text;
    text += '\n';
    start = lf + 1;
  }
}

// The first bytes go through ReplyFramer `step` bytes at a time, as a reader that received them
// so. (The caps are the network side's business; the framing rule shows in a short stream.)
void checkReplyFramer(std::string_view stream, std::size_t step) {
  stream = stream.substr(0, 64 * 1024);
  const std::vector<std::size_t> ends = replyEnds(stream, stream.size());
  p::ReplyFramer framer;
  std::size_t start = 0;
  std::size_t next = 0;  // index in ends of the reply being framed
  for (std::size_t received = 0; received < stream.size();) {
    received = std::min(stream.size(), received + step);
    for (;;) {
      const std::size_t length = framer.scan(stream.substr(start, received - start));
      const bool due = next < ends.size() && ends[next] <= received;
      FUZZ_CHECK(length == (due ? ends[next] - start : 0),
                 "ReplyFramer framed " + std::to_string(length) + " bytes at " +
                     std::to_string(start) + " of " + printable(stream));
      if (length == 0) break;
      const std::string_view raw = stream.substr(start, length);
      FUZZ_CHECK(p::replyText(raw) == replyTextOf(raw), "replyText of " + printable(raw));
      start += length;
      ++next;
    }
  }
}

struct Query {
  const char* line;  // the command line the client must write, without CR LF
  bool status;       // getControllerStatus(), else resetController()
};
constexpr Query kStatusQuery = {
    "$Execute,\"Print Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)\"",
    true};
constexpr Query kResetQuery = {"$Execute,\"Reset\"", false};

enum class Call { kValue, kControllerError, kBadResult, kNobodysReply, kEndOfStream, kTooLong };
const char* nameOf(Call call) {
  static const char* const kNames[] = {"value",          "controller error", "bad result",
                                       "nobody's reply", "end of stream",    "too long"};
  return kNames[static_cast<int>(call)];
}
bool keepsSession(Call call) {
  return call == Call::kValue || call == Call::kControllerError || call == Call::kBadResult;
}

constexpr std::size_t kMaxReply = p::kMaxReplyBytes;
// The cap holds exactly: a reply one byte longer is refused however its bytes arrive.
constexpr std::size_t kClientReadSize = 0;
const std::string kReadFailure = "Failed while waiting for an Epson Remote Ethernet response: ";
// A line nobody awaits leaves the session out of step: it is torn down with this said.
const std::string kOutOfStep =
    " (the session is out of step: the reply to the previous command may have been "
    "misattributed)";
const std::string kTooLongMessage = kReadFailure + "reply too long (more than " +
                                    std::to_string(kMaxReply) + " bytes without a complete reply)";

struct Outcome {
  Call call = Call::kValue;
  std::string message;  // of the exception, if any
  ControllerStatus status;
};

// What the call gives when `reply` (its text) is the first reply to arrive.
Outcome outcomeOfReply(const Query& query, const std::string& reply) {
  // A reply names the command of the letters after its first character: "#ExecuteX" names
  // another one. An error reply stays with the awaited command when it names it, or names no
  // command at all ("!", "!99", "!,3": no letter after the "!").
  const auto letter = [&reply](std::size_t at) {
    const char c = at < reply.size() ? reply[at] : '\0';
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  };
  const bool names_execute = !reply.empty() && reply.compare(1, 7, "Execute") == 0 && !letter(8);
  const bool error_for_us = !reply.empty() && reply[0] == '!' && (names_execute || !letter(1));
  if (reply.empty())
    return {Call::kNobodysReply, "Empty response from Epson controller" + kOutOfStep, {}};
  if (error_for_us) {
    return {Call::kControllerError, p::errorReplyMessage(reply, query.line), {}};
  }
  if (reply.rfind("#", 0) != 0 || !names_execute) {
    return {Call::kNobodysReply,
            "Unexpected Epson response while waiting for #Execute: " + p::escapeText(reply) +
                kOutOfStep,
            {}};
  }
  if (!query.status) return {};
  try {
    return {Call::kValue, "", p::parseControllerStatus(p::extractExecuteResult(reply))};
  } catch (const std::runtime_error& e) {
    return {Call::kBadResult, e.what(), {}};
  }
}

class CommandSide {
 public:
  void run(const Query& query, const std::string& stream) {
    const std::vector<std::size_t> ends = replyEnds(stream, 1);
    const std::size_t length = ends.empty() ? 0 : ends.front();
    Outcome want;
    bool either_too_long = false;  // the reply is long enough that the cap may or may not hit
    if (ends.empty()) {
      want.call = stream.size() > kMaxReply ? Call::kTooLong : Call::kEndOfStream;
      want.message = stream.size() > kMaxReply ? kTooLongMessage : kReadFailure;
    } else if (length > kMaxReply + kClientReadSize + 1) {
      want = {Call::kTooLong, kTooLongMessage, {}};
    } else {
      want = outcomeOfReply(query, replyTextOf(std::string_view(stream).substr(0, length)));
      either_too_long = length > kMaxReply + 1;
    }
    const bool keep = keepsSession(want.call) && length == stream.size() && !either_too_long;

    peer_.arm(stream, !keep);
    if (!client_) {
      client_ = std::make_unique<Brevacon>();
      client_->connect("127.0.0.1", peer_.port(), "fuzz");
    }
    const Outcome got = call(query);
    const bool connected = client_->isConnected();
    if (!keep) client_.reset();  // a peer still writing is released by the reset
    std::string line;
    FUZZ_CHECK(peer_.waitServed(kWaitLimit, line), "the peer was never served its reply");
    FUZZ_CHECK(line == std::string(query.line) + "\r", "the client wrote " + printable(line));

    const std::string shown = " for " + printable(stream);
    if (either_too_long && got.call == Call::kTooLong) {
      FUZZ_CHECK(got.message == kTooLongMessage, got.message + shown);
    } else {
      FUZZ_CHECK(got.call == want.call, std::string(nameOf(got.call)) + " (" + got.message +
                                            ") where " + nameOf(want.call) + " was due" + shown);
      if (want.call == Call::kEndOfStream) {
        FUZZ_CHECK(got.message.rfind(kReadFailure, 0) == 0, got.message + shown);
      } else {
        FUZZ_CHECK(got.message == want.message, printable(got.message) + " where " +
                                                    printable(want.message) + " was due" + shown);
      }
      FUZZ_CHECK(got.status == want.status, "another status map" + shown);
    }
    FUZZ_CHECK(connected == keepsSession(got.call), std::string("session ") +
                                                        (connected ? "kept" : "lost") + " after " +
                                                        nameOf(got.call) + shown);
  }

 private:
  Outcome call(const Query& query) {
    Outcome got;
    try {
      if (query.status) {
        got.status = client_->getControllerStatus();
      } else {
        client_->resetController();
      }
      return got;
    } catch (const std::runtime_error& e) {
      got.message = e.what();
    }
    const std::string& m = got.message;
    if (m.rfind("Remote command failed: ", 0) == 0) {
      got.call = Call::kControllerError;
    } else if (m == kTooLongMessage) {
      got.call = Call::kTooLong;
    } else if (m.rfind(kReadFailure, 0) == 0) {
      got.call = Call::kEndOfStream;
    } else if (m.rfind("Unexpected Epson response", 0) == 0 || m.rfind("Empty response", 0) == 0) {
      got.call = Call::kNobodysReply;
    } else {
      got.call = Call::kBadResult;
    }
    return got;
  }

  CommandPeer peer_;
  std::unique_ptr<Brevacon> client_;
};

// --- Telemetry stream ----------------------------------------------------------------------------

std::string sampleMarker(long long id) {
  std::string packet;
  for (const char* key : {"X", "Y", "Z", "U", "V", "W"})
    packet += std::string(key) + "=" + std::to_string(id) + ";";
  for (int joint = 1; joint <= 6; ++joint) {
    packet += "J" + std::to_string(joint) + "agl=" + std::to_string(id) + ";";
  }
  return packet + "\r";
}

std::string statusMarker(long long id) {
  const std::string value = std::to_string(id);
  return "STAT=" + value + ";SYSERR=" + value + ";CTRLDEV=" + value + ";ROBOTINFO=" + value +
         ";CTRLINFO=" + value + "\r";
}

template <typename Ready>
bool waitUntil(Ready&& ready) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  for (int spins = 0; !ready(); ++spins) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (spins < 200) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }
  return true;
}

class TelemetrySide {
 public:
  TelemetrySide()
      : pusher_([this](std::uint16_t port) { receiver_.connect("127.0.0.1", port); },
                sampleMarker(0)) {}

  void run(bool end_with_sample, const std::string& fuzz) {
    const long long id = ++serial_;
    const std::string stream = sampleMarker(id) + statusMarker(id) + fuzz + "\r" +
                               (end_with_sample ? sampleMarker(-id) : statusMarker(-id));

    // The model frames the packets as the receive loop must.
    TelemetryModel model;
    TelemetrySample last_sample;
    ControllerStatus last_status;
    for (std::size_t begin = 0, cr; (cr = stream.find('\r', begin)) != std::string::npos;
         begin = cr + 1) {
      if (cr - begin >= telemetry::kMaxPacketBytes) {
        model.clear();
        continue;
      }
      const TelemetryModel::Effect effect =
          model.feed(std::string_view(stream).substr(begin, cr - begin));
      if (effect.outcome == TelemetryModel::Outcome::kSample) last_sample = effect.sample;
      if (effect.outcome == TelemetryModel::Outcome::kStatus) last_status = effect.status;
    }

    FUZZ_CHECK(pusher_.push(stream), "the receiver closed the telemetry connection");
    const std::string shown = " for " + printable(fuzz);
    const auto end = static_cast<double>(-id);
    if (end_with_sample) {
      FUZZ_CHECK(waitUntil([&] { return receiver_.getSample().pose[0] == end; }),
                 "the end marker never showed" + shown);
      FUZZ_CHECK(receiver_.getControllerStatus() == last_status,
                 "another status than the last one published" + shown);
    } else {
      FUZZ_CHECK(waitUntil([&] {
                   return receiver_.hasControllerStatus() &&
                          receiver_.getControllerStatus().at("stat") == -id;
                 }),
                 "the end marker never showed" + shown);
      FUZZ_CHECK(sameSample(receiver_.getSample(), last_sample),
                 "another sample than the last one published" + shown);
    }
    FUZZ_CHECK(receiver_.isConnected(), "the receiver lost its connection" + shown);
  }

 private:
  EthernetReceiveInterface receiver_;
  TelemetryPusher pusher_;
  long long serial_ = 0;
};

}  // namespace
}  // namespace epson::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Each new client session logs a line to standard output; thousands of them per second
  // would only slow the run down.
  std::FILE* const sink = std::freopen("/dev/null", "w", stdout);
  static_cast<void>(sink);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace epson::fuzz;
  // Created on first use and kept: their threads and connections serve every input.
  static auto* const command = new CommandSide();
  static auto* const telemetry = new TelemetrySide();
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  const std::string stream =
      expand(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1),
             (mode & 0xC0) == 0xC0 ? kLongStream : kShortStream);
  if ((mode & 1) != 0) {
    telemetry->run((mode & 2) != 0, stream);
    return 0;
  }
  checkReplyFramer(stream, 1 + (mode >> 2 & 15));
  command->run((mode & 2) != 0 ? kResetQuery : kStatusQuery, stream);
  return 0;
}
