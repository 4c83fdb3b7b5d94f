#pragma once

// A way for the program to stop a blocking call: the interrupt check.
//
// While a call of this library waits (for a connection, for the session lock, for a reply, for a
// motion to end) it calls the installed check about every kInterruptSlice. When the check returns
// true the call stops waiting and throws InterruptedError (<epson/errors.h>):
//   - a running go()/move() first writes "$Abort" and waits, at most
//     Brevacon::kControlReplyTimeout, for the motion's own reply, so the session stays in step;
//     a second true during that wait closes the session at once;
//   - a motion whose statement is not written yet is never written;
//   - connect() closes its socket; any other command whose reply is still due closes the session.
// A call that gets its reply within one slice never calls the check. The Python modules install a
// check that runs the interpreter's signal handlers, which is how Ctrl-C stops a motion.
//
// A native program has two ways to the same power. Install a check that reads a flag its signal
// handler sets (std::sig_atomic_t), or keep signals blocked in every thread and let one thread
// wait for them and stop the robot itself:
//
//   sigset_t set;  sigemptyset(&set);  sigaddset(&set, SIGINT);
//   pthread_sigmask(SIG_BLOCK, &set, nullptr);            // before any thread starts
//   std::thread stopper([&] { int sig; sigwait(&set, &sig); robot->abortMotion(); });
//
// abortMotion() needs no check: it reaches a running motion from any thread.

#include <chrono>
#include <functional>

#include <epson/export.h>

namespace epson {

// How often a waiting call asks the interrupt check.
inline constexpr std::chrono::milliseconds kInterruptSlice{50};

// Returns true to stop the waiting call. Called from whichever thread waits, also from several at
// once. It may call abortMotion(), pause() or continueMotion() of the object whose wait runs it
// (they are written at once and read for by that same thread); any other call of that object
// throws std::runtime_error at once rather than wait for the operation it runs inside.
using InterruptCheck = std::function<bool()>;

// Installs `check` for every later wait; an empty check removes it. A wait that already runs
// keeps the check it started with.
EPSON_API void setInterruptCheck(InterruptCheck check);

}  // namespace epson
