#pragma once

// The command channel: the one engine between Brevacon's operations and the controller. It owns
// the socket, the reply framing, the queue of outstanding commands and their deadlines, the
// heartbeat of a running motion and the reaction to an interrupt. Every operation reaches the
// controller through exchange() or, for a motion, runMotion(); pause, continue and abort reach a
// running motion through besideMotion() and abortMotion().
//
// Concurrency design.
//
// The reader is the one thread that may read the socket and change the buffer: the holder of
// Brevacon's session lock, inside exchange(), runMotion(), endMotion() or open(). Other threads
// only write beside a running motion, and get their reply from the reader through the queue.
//
// writeMutex_ guards every write to the socket and closing it. queueMutex_ guards the queue and
// the motion's state; queueCv_ wakes the threads that wait for a reply written beside a motion.
// Lock order: writeMutex_, then queueMutex_. A command is registered in the queue and written
// under writeMutex_, so the order of the queue is the order of the wire.
//
// Which reply belongs to whom: the controller answers each command, and commands of one name in
// the order they were written. A reply goes to the oldest outstanding command of the name it
// carries (protocol::answeredIndex). A $Pause or $Continue that gave up waiting stays in the
// queue as due; its reply is discarded with a log line when it comes. An $Abort or a $GetStatus
// is strict: when its reply has not come by its deadline the session is torn down (the robot's
// state is unknown), so it is never waited for beyond it and never takes a later command's
// reply. A heartbeat still on its way when its motion ends keeps its deadline, which the next
// reader judges before it writes anything. A reply that matches nothing means the session is out
// of step, and it is torn down: a line that began before a command was written cannot be that
// command's reply. Replies already received are routed before any deadline is judged.
//
// Re-entry: a signal handler may run on the reader's own thread, inside one of its waits (the
// interrupt check). A command it writes beside the motion is then read for by that same thread
// (reader_ tells who the reader is), since nobody else would.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>

#include "interrupt.h"
#include "protocol.h"
#include "reply_stream.h"

namespace epson {

class Channel {
 public:
  using Clock = std::chrono::steady_clock;

  struct Deadlines {
    std::chrono::milliseconds control_reply;       // a command written beside a motion
    std::chrono::milliseconds heartbeat_interval;  // between a motion's $GetStatus lines
    std::chrono::milliseconds heartbeat_reply;     // a heartbeat's reply
  };

  // `on_teardown` runs on the reader after every teardown, to reset the session's own state.
  Channel(Deadlines deadlines, std::function<void()> on_teardown);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // --- Connection; the reader only ---------------------------------------------------------
  // One connection attempt, bounded by `timeout`. Throws ConnectionFailedError, or
  // InterruptedError with the socket closed.
  void open(const boost::asio::ip::tcp::resolver::results_type& endpoints,
            std::chrono::milliseconds timeout, const std::string& where, Interrupter& interrupter);
  // Shuts the connection down in both directions and closes it; returns what closing reported.
  boost::system::error_code close();
  // Closes the socket, fails every waiting command with `reason` and forgets the queue.
  void teardown(const std::string& reason);
  bool isOpen() const { return open_.load(); }
  // Replies that echo or quote this text (the password during a login) show it redacted.
  void setSecret(std::string secret) { secret_ = std::move(secret); }

  // --- Commands; the reader only -------------------------------------------------------------
  // Writes `command` and returns its success reply; one deadline covers the write and the
  // reply. Throws ControllerError for an error reply, std::runtime_error for a reply that is
  // neither, TimeoutError and ConnectionLostError (both after a teardown), InterruptedError.
  std::string exchange(const std::string& command, std::chrono::milliseconds timeout,
                       Interrupter& interrupter);

  // A motion counts as running from beginMotion() to the end of endMotion(): its settings, its
  // statement, and the replies still due to commands written beside it. The plan's settings
  // are the caller's to exchange first; the channel writes them again only to continue a motion
  // it paused by $Abort.
  void beginMotion(const protocol::MotionPlan& plan);
  // The running motion's statement as messages show it; empty when none runs.
  std::string runningMotion() const;
  // The motion's statement: like exchange(), with a $GetStatus heartbeat, and on an interrupt an
  // abort. Throws MotionAbortedError for an error reply after an accepted abort.
  // `on_written` runs once, when the statement is first written.
  std::string runMotion(const std::string& command, std::chrono::milliseconds timeout,
                        Interrupter& interrupter, const std::function<void()>& on_written = {});
  // Reads until every command written beside the motion has its reply or has given up.
  void endMotion() noexcept;
  bool motionRunning() const { return motionActive_.load(); }
  // While set (above zero), a running motion's heartbeat goes out at least this often, so no
  // gap between lines is longer: the controller's remote Timeout then never ends the session.
  void setKeepalive(std::chrono::milliseconds keepalive) { keepalive_ = keepalive; }
  // When a line was last written (steady clock); the epoch before the first.
  Clock::time_point lastWrite() const {
    return Clock::time_point(Clock::duration(lastWrite_.load()));
  }

  // --- Beside a running motion; any thread, without the session lock ------------------------
  // Writes `command` and returns its reply, whatever it is; none, with nothing sent, when no
  // motion runs. Throws TimeoutError (its reply is then due) and ConnectionLostError.
  std::optional<std::string> besideMotion(const std::string& command);
  enum class AbortOutcome { kNoMotion, kBeforeStatement, kReplied };
  // $Abort while the motion's statement runs. Before it is written, or while the motion is
  // paused by $Abort, marks the motion so it never is (again), and sends nothing. The reply,
  // when there is one, goes to `reply`.
  AbortOutcome abortMotion(std::string& reply);
  // $Pause beside the running motion, and its reply. When the controller refuses it because the
  // $Execute runs (21), a motion that can be written again is paused by $Abort (and "#Pause" is
  // returned once that is accepted); one that cannot throws ControllerError saying why, and
  // goes on. Paused already: "#Pause", nothing written. None when no motion runs.
  std::optional<std::string> pauseMotion();
  // Continues a motion paused by $Abort (returns "#Continue" once its statement is written
  // again), or writes $Continue beside the running motion and returns its reply.
  std::optional<std::string> continueMotion();

  // Throws what an error or invalid reply to `command` means.
  void checkReply(const std::string& reply, const std::string& command) const;
  // The text as messages show it: escaped, password redacted.
  std::string shown(const std::string& text, bool one_line = false) const;

 private:
  struct Entry;
  using EntryPtr = std::shared_ptr<Entry>;
  struct MotionWait;

  // Marks the calling thread as the reader for its lifetime (nested scopes of one thread nest).
  class ReaderScope {
   public:
    explicit ReaderScope(std::atomic<std::thread::id>& reader)
        : reader_(reader), previous_(reader.exchange(std::this_thread::get_id())) {}
    ~ReaderScope() { reader_ = previous_; }
    ReaderScope(const ReaderScope&) = delete;
    ReaderScope& operator=(const ReaderScope&) = delete;

   private:
    std::atomic<std::thread::id>& reader_;
    std::thread::id previous_;
  };

  // Registers and writes `command` (writeMutex_ and queueMutex_ taken here). Throws on a failed
  // or timed-out write, after a teardown when `reader`, after a shutdown of the socket otherwise.
  // `admit`, when given, runs under both locks first; false sends nothing and gives none.
  EntryPtr send_(const std::string& command, Clock::time_point deadline,
                 std::chrono::milliseconds budget, bool beside, bool reader,
                 const std::function<bool()>& admit = nullptr);
  // Writes a command beside the motion when `admit` allows, and waits on queueCv_ for its reply.
  std::optional<std::string> awaitBeside_(const std::string& command,
                                          const std::function<bool()>& admit);
  bool writeLocked_(const std::string& line, Clock::time_point deadline);
  // Writes `command` if the socket takes it at once, ignoring every failure: the $Abort of a
  // session that is being given up, which waits for nothing.
  void writeBestEffort_(const std::string& command);
  // Before a command is written: routes every reply already received, so a line nobody awaits
  // fails the command before anything is sent.
  void settleReceived_(const std::string& command);
  // Routes every complete reply already received, without waiting.
  void routeReceived_(const Entry* fresh, const std::string& context);
  // Tears the session down (ConnectionLostError) when a strict command's reply is overdue.
  void judgeStrict_(Clock::time_point now);
  // The earliest deadline of a strict command still waiting; max when none.
  Clock::time_point strictWake_();
  // Waits for `entry`'s reply as the reader; returns it. `motion` adds the heartbeat and abort.
  // `timeout` is what messages state.
  std::string await_(const EntryPtr& entry, Clock::time_point deadline,
                     std::chrono::milliseconds timeout, Interrupter& interrupter,
                     MotionWait* motion);
  // An interrupt that came with the reply already here: the caller still gets the interrupt.
  [[noreturn]] void throwInterruptedAfterReply_(const Entry& entry, bool motion);
  // For a command the reader wrote from inside its own wait: reads until its reply comes or its
  // deadline passes.
  void readNested_(const EntryPtr& entry);
  // The motion's part of a wait: the heartbeat and the abort this reader wrote; returns when it
  // next needs looking at. Throws after a teardown when either goes unanswered.
  Clock::time_point motionStep_(MotionWait& motion, const Entry& entry, Clock::time_point now);
  // On an interrupt or the motion's deadline: writes $Abort and returns the deadline of the
  // motion's own reply; a second time, tears the session down and throws.
  Clock::time_point abortMotionNow_(MotionWait& motion, const Entry& entry, Clock::time_point now,
                                    bool interrupted);
  // Reads until every $Abort written beside or by the motion has its reply.
  void settleAborts_(const std::string& context);
  // The motion's statement has its reply (or failed); returns whether an abort was accepted.
  bool markAnswered_();
  // Writes the motion's statement unless an interrupt or an abort came first (both throw).
  EntryPtr writeStatement_(const std::string& command, Clock::time_point deadline,
                           std::chrono::milliseconds timeout, Interrupter& interrupter);
  // --- A motion paused by $Abort (channel_pause.cpp) ---
  // Whether `reply` ends the statement because the $Abort of a pause stopped it: then paused.
  bool pausedByAbort_(const std::string& reply);
  // Reads, with the heartbeat, until continue; throws on an abort, an interrupt, the deadline.
  void waitWhilePaused_(MotionWait& wait, const Entry& entry, const std::string& stopped,
                        Clock::time_point deadline, Interrupter& interrupter);
  // The settings and the statement again; returns the statement's entry.
  EntryPtr rewrite_(const std::string& command, Clock::time_point deadline,
                    std::chrono::milliseconds timeout, Interrupter& interrupter);
  std::chrono::milliseconds heartbeatInterval_() const {
    const std::chrono::milliseconds keepalive = keepalive_.load();
    return keepalive.count() > 0 ? std::min(keepalive, deadlines_.heartbeat_interval)
                                 : deadlines_.heartbeat_interval;
  }
  // Frames the next reply into framed_; false when `wake` passed first. Throws
  // ConnectionLostError after a teardown on a failed read, end of stream or an overlong reply.
  bool readReply_(Clock::time_point wake);
  void receiveAvailable_();
  std::string takeReply_();
  // Hands a framed reply to the command it answers; `stale` excludes `fresh`, written after the
  // reply began. Throws ConnectionLostError, after a teardown, when it answers nothing.
  void route_(std::string reply, bool stale, const Entry* fresh, const std::string& context);
  void clearReceived_();
  // Shuts the descriptor down from a thread that is not the reader; the reader then fails.
  void sever_();
  [[noreturn]] void fail_(const std::string& message);  // teardown, then ConnectionLostError
  std::string timedOutWriting_(const std::string& command, std::chrono::milliseconds t) const;

  const Deadlines deadlines_;
  const std::function<void()> onTeardown_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_{io_};
  boost::asio::steady_timer timer_{io_};
  boost::asio::streambuf buffer_;
  protocol::ReplyFramer framer_;
  std::size_t framed_ = 0;      // length of the complete reply at the front of the buffer, or 0
  std::size_t staleBytes_ = 0;  // leading buffered bytes received before the last write
  std::string secret_;
  std::atomic<bool> open_{false};
  std::atomic<std::thread::id> reader_{};  // the thread inside exchange(), runMotion(), endMotion()
  std::atomic<std::chrono::milliseconds> keepalive_{std::chrono::milliseconds(0)};
  std::atomic<Clock::rep> lastWrite_{0};

  std::mutex writeMutex_;
  mutable std::mutex queueMutex_;
  std::condition_variable queueCv_;
  std::deque<EntryPtr> queue_;
  // The motion (queueMutex_): whether its statement is written, answered, and whether an abort
  // was asked for before it was written or accepted after.
  // kPaused: stopped by the $Abort of a pause, at rest, waiting to be written again.
  enum class Stage { kIdle, kSettings, kRunning, kPaused, kAnswered };
  Stage stage_ = Stage::kIdle;
  protocol::MotionPlan plan_;
  std::string motionCommand_;
  bool abortRequested_ = false;
  bool userAbort_ = false;          // abortMotion() wrote $Abort (not a pause)
  bool pauseByAbort_ = false;       // the $Abort of a pause is written, the motion not yet paused
  bool continueRequested_ = false;  // continueMotion() of a motion paused by $Abort
  std::uint64_t resumes_ = 0;       // statements written again
  std::string resumeFailure_;       // why writing it again failed
  bool abortAccepted_ = false;
  std::atomic<bool> motionActive_{false};
};

}  // namespace epson
