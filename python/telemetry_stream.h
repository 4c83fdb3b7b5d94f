// What `_tandrel` adds to the telemetry receiver beyond its native reads: waiting for the next
// sample (interruptible by Ctrl-C), an iterator over new samples, a reader that takes every
// sample, the counters as a dict, and a recording that a `with` block stops.

#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <epson/ethernet_receive_interface.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "docstrings.h"

namespace epson_python {

namespace py = pybind11;
using Receiver = epson::EthernetReceiveInterface;

// Called every EthernetReceiveInterface::kWaitPollInterval while a wait runs without the
// interpreter lock: a pending Ctrl-C (or any signal handler that raises) ends the wait.
inline void raiseOnSignal() {
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

inline std::chrono::nanoseconds waitTimeout(double seconds) {
  if (std::isnan(seconds) || seconds < 0) {
    throw std::invalid_argument("timeout must be a number of seconds, 0 or more");
  }
  if (seconds >= 1e9) return std::chrono::nanoseconds::max();  // ~30 years: no bound
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(seconds));
}

// The iterator samples() returns: each call waits for a sample newer than the one it gave last.
struct SampleIterator {
  std::shared_ptr<Receiver> receiver;
  std::chrono::nanoseconds timeout;
  std::uint64_t last = 0;
  bool started = false;

  epson::TelemetrySample next() {
    try {
      py::gil_scoped_release release;
      const epson::TelemetrySample sample =
          started ? receiver->waitForSampleAfter(last, timeout, &raiseOnSignal)
                  : receiver->waitForNextSample(timeout, &raiseOnSignal);
      started = true;
      last = sample.sequence;
      return sample;
    } catch (const epson::ConnectionLostError&) {
      throw py::stop_iteration();  // the receiver was stopped: the stream has ended
    }
  }
};

// The reader sample_reader() returns. One Python thread takes at a time: a second one that
// calls take() meanwhile is refused rather than left waiting, without the interpreter lock, on a
// wait it cannot interrupt. `missed` is kept beside the reader so it reads without a lock.
struct SampleReaderHandle {
  explicit SampleReaderHandle(Receiver::SampleReader made) : reader(std::move(made)) {}

  std::vector<epson::TelemetrySample> take(const std::optional<double>& timeout,
                                           std::size_t min_samples) {
    const auto limit = timeout ? waitTimeout(*timeout) : std::chrono::nanoseconds::max();
    if (min_samples < 1 || min_samples > Receiver::kSampleRingCapacity) {
      throw std::invalid_argument("min_samples must be 1 to " +
                                  std::to_string(Receiver::kSampleRingCapacity));
    }
    if (busy.exchange(true)) {
      throw std::runtime_error(
          "take() is already running on another thread of this reader; make one "
          "sample_reader() per consumer");
    }
    struct Idle {
      std::atomic<bool>& flag;
      ~Idle() { flag = false; }
    } idle{busy};
    std::vector<epson::TelemetrySample> taken;
    {
      py::gil_scoped_release release;
      taken = reader.take(limit, min_samples, &raiseOnSignal);
    }
    missed = reader.missed();
    return taken;
  }

  Receiver::SampleReader reader;
  std::atomic<bool> busy{false};
  std::atomic<std::uint64_t> missed{0};
};

// A recording that stop() or the end of a `with` block closes. It acts on its own recording
// only: a handle kept after its recording ended must not stop or mark a later one.
struct Recording {
  std::shared_ptr<Receiver> receiver;
  std::string path;
  Receiver::RecordingId id = Receiver::kAnyRecording;
  void stop() const {
    py::gil_scoped_release release;
    receiver->stopRecording(id);
  }
  void mark(const py::object& text) const {
    // bytes would convert silently to a row of their undecoded bytes: only text is a mark.
    if (!py::isinstance<py::str>(text)) {
      throw py::type_error("mark() takes a str, not " +
                           std::string(py::str(py::type::handle_of(text).attr("__name__"))));
    }
    const auto characters = static_cast<std::size_t>(PyUnicode_GetLength(text.ptr()));
    if (characters > Receiver::kMaxMarkCharacters) {
      throw py::value_error("mark() takes at most " + std::to_string(Receiver::kMaxMarkCharacters) +
                            " characters; this text has " + std::to_string(characters));
    }
    const auto utf8 = text.cast<std::string>();
    py::gil_scoped_release release;
    receiver->markRecording(utf8, id);
  }
};

constexpr const char* kStopRecordingDoc = R"doc(Write what is queued and close the file.

Does nothing once this recording has ended; a later recording is left alone.

Raises:
    RuntimeError: If rows could not be written (the message names the file and the reason, as
        ``counters()["recording_error"]`` does).
)doc";

constexpr const char* kMarkDoc = R"doc(Write an event row, so the plot shows what happened when.

The row holds ``host_time`` (now, on the samples' clock) and ``text`` in the ``event``
column; ``epson-plot`` draws it as a labelled vertical line::

    with telemetry.record("run.csv") as recording:
        recording.mark("pause")
        robot.pause()

Args:
    text: What happened, at most {max_mark} characters; line breaks are written as spaces.

Raises:
    TypeError: If ``text`` is not a ``str`` (``bytes`` too: decode them first).
    ValueError: If ``text`` is longer than {max_mark} characters.
    RuntimeError: If this recording has ended, failed, or its queue is full.
)doc";

constexpr const char* kSampleReaderDoc = R"doc(Every telemetry sample, in order, for one consumer.

From ``EthernetReceiveInterface.sample_reader()``. The receiver keeps the last
{ring_capacity} samples in a ring (about 4 s at 1 kHz); each reader has its own place in it, so
readers never take samples from each other. A reader that falls further behind than the ring
holds loses the oldest samples and counts them in ``missed``. Use it from one thread at a
time, and make one per consumer.
)doc";

constexpr const char* kTakeDoc = R"doc(Return every sample published since the last call.

The first call returns the samples published since the reader was made. Samples come oldest
first, each once. Waits, with the interpreter lock released, until at least ``min_samples``
are there or ``timeout`` passes, then returns what is there. Ctrl-C interrupts the wait within
about 50 ms. A consumer that takes batches costs the receive thread and itself one wake-up per
batch instead of one per sample::

    reader = telemetry.sample_reader()
    while True:
        # At 1 kHz: woken every 2 ms, as the second sample of the batch arrives.
        for sample in reader.take(timeout=0.01, min_samples=2):
            handle(sample)

Samples published before ``disconnect()`` are still returned after it. A ``connect()`` does
not end the reader: the samples of the new connection follow, their ``sequence`` starting at
1 again.

Args:
    timeout: Seconds to wait at most; ``None`` waits until ``min_samples`` are there.
    min_samples: How many samples to wait for, 1 to {ring_capacity}.

Returns:
    The samples, oldest first; fewer than ``min_samples`` (none, perhaps) if ``timeout``
    passed first, or if the receiver stopped.

Raises:
    ConnectionLostError: If no sample is left and the receiver is not running, or it is
        disconnected or reconnected with ``connect()`` during the wait.
    ValueError: If ``min_samples`` is out of range.
    RuntimeError: If another thread is in ``take()`` of this reader.
)doc";

constexpr const char* kSampleReaderMethodDoc =
    R"doc(Return a reader that takes every sample in order.

Where ``samples()`` and ``wait_for_next_sample`` return the latest sample, skipping those a
slow consumer did not wait for, a reader returns each sample once, from the ring of the last
{ring_capacity}; what fell out of the ring before it was taken is counted in ``missed``.
Its first ``take()`` returns the samples published after this call.
)doc";

constexpr const char* kWaitDoc = R"doc(Wait for the next sample and return it.

Returns the first sample published after the call begins. The interpreter lock is released
while it waits; Ctrl-C interrupts the wait within about 50 ms.

Args:
    timeout: Seconds to wait at most.

Raises:
    TimeoutError: If no sample arrives in time (``_brevacon.TimeoutError``).
    ConnectionLostError: If the receiver is not connected, or ``disconnect()`` is called
        meanwhile.
)doc";

constexpr const char* kSamplesDoc = R"doc(Iterate over new samples as they arrive.

Each step waits, as ``wait_for_next_sample`` does, for a sample newer than the one it yielded
last. A consumer slower than the stream gets the latest sample and skips the others: the gaps
show in ``sample.sequence`` (``sample_reader()`` returns every sample instead). The iteration
ends when the receiver is disconnected.

Args:
    timeout: Seconds each step waits at most.

Raises:
    TimeoutError: If a step waits longer than ``timeout``.
)doc";

constexpr const char* kCountersDoc = R"doc(Return what the receiver has counted since ``connect``.

Returns:
    A dict, taken as one consistent snapshot: ``packets_received``, ``packets_parsed``,
    ``dropped_parse_failure``, ``dropped_oversize``, ``dropped_incomplete_status``,
    ``dropped_non_finite`` (completed samples holding NaN or an infinity),
    ``samples_published`` (the latest sample's ``sequence``), ``status_published``,
    ``reconnections``, ``recorded_rows`` (rows written to the file), ``recording_dropped``,
    ``recording_error`` (why the recording ended by itself, naming the file; empty if it did
    not) and ``last_connection_error`` (the text of the latest failed connection attempt, empty
    if none).
)doc";

constexpr const char* kRecordDoc = R"doc(Record every sample and status to a CSV file.

A writer thread writes the rows; the receive thread never waits for the disk, and rows the
writer cannot keep up with are counted in ``counters()["recording_dropped"]``. A recording may
begin before ``connect`` and goes on across it; ``disconnect`` ends it. The first failed write
(a full disk) ends it too: ``is_recording()`` turns False, ``counters()["recording_error"]``
says why, and ``stop()`` raises it. Use it as a context manager, which stops the recording when
the block ends::

    with telemetry.record("run.csv"):
        robot.go("P1")

The file has a header row, then one row per sample (``host_time``, ``sequence``, ``J1`` to
``J6``, ``X`` to ``W``), status (``host_time`` and the five status words) or event
(``host_time`` and ``event``, from ``Recording.mark``). ``epson-plot`` draws it.

Args:
    path: The file to write; an existing file is replaced.

Returns:
    The recording; ``stop()`` or the end of a ``with`` block closes it.

Raises:
    RuntimeError: If the file cannot be opened or a recording already runs.
)doc";

template <class... Options>
void addTelemetryStream(py::module_& m, py::class_<Receiver, Options...>& receiver) {
  py::class_<SampleIterator>(m, "SampleIterator",
                             "Iterator over new telemetry samples, from ``samples()``.")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &SampleIterator::next);

  const std::string ring_capacity = std::to_string(Receiver::kSampleRingCapacity);
  const std::string max_mark = std::to_string(Receiver::kMaxMarkCharacters);
  const std::string reader_doc = filled(kSampleReaderDoc, {{"{ring_capacity}", ring_capacity}});
  const std::string reader_method_doc =
      filled(kSampleReaderMethodDoc, {{"{ring_capacity}", ring_capacity}});
  const std::string mark_doc = filled(kMarkDoc, {{"{max_mark}", max_mark}});
  const std::string take_doc = filled(kTakeDoc, {{"{ring_capacity}", ring_capacity}});

  py::class_<SampleReaderHandle>(m, "SampleReader", reader_doc.c_str())
      .def("take", &SampleReaderHandle::take, py::arg("timeout") = py::none(),
           py::arg("min_samples") = 1, take_doc.c_str())
      .def_property_readonly(
          "missed", [](const SampleReaderHandle& self) { return self.missed.load(); },
          "Samples that left the ring before this reader took them.")
      .def("__repr__", [](const SampleReaderHandle& self) {
        return "<SampleReader missed=" + std::to_string(self.missed.load()) + ">";
      });

  py::class_<Recording>(m, "Recording", "A telemetry recording, from ``record()``.")
      .def_readonly("path", &Recording::path, "The file being written.")
      .def("stop", &Recording::stop, kStopRecordingDoc)
      .def("mark", &Recording::mark, py::arg("text"), mark_doc.c_str())
      .def("__enter__", [](py::object self) { return self; })
      .def(
          "__exit__",
          [](const Recording& self, const py::object&, const py::object&, const py::object&) {
            self.stop();
          },
          py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"));

  receiver
      .def(
          "wait_for_next_sample",
          [](const Receiver& self, double timeout) {
            const auto limit = waitTimeout(timeout);
            py::gil_scoped_release release;
            return self.waitForNextSample(limit, &raiseOnSignal);
          },
          py::arg("timeout") = 1.0, kWaitDoc)
      .def(
          "samples",
          [](const std::shared_ptr<Receiver>& self, double timeout) {
            return SampleIterator{self, waitTimeout(timeout)};
          },
          py::arg("timeout") = 1.0, kSamplesDoc)
      .def(
          "sample_reader",
          [](const Receiver& self) {
            return std::make_unique<SampleReaderHandle>(self.sampleReader());
          },
          reader_method_doc.c_str())
      .def(
          "counters",
          [](const Receiver& self) {
            epson::TelemetryCounters c;
            {
              py::gil_scoped_release release;
              c = self.counters();
            }
            py::dict d;
            d["packets_received"] = c.packets_received;
            d["packets_parsed"] = c.packets_parsed;
            d["dropped_parse_failure"] = c.dropped_parse_failure;
            d["dropped_oversize"] = c.dropped_oversize;
            d["dropped_incomplete_status"] = c.dropped_incomplete_status;
            d["dropped_non_finite"] = c.dropped_non_finite;
            d["samples_published"] = c.samples_published;
            d["status_published"] = c.status_published;
            d["reconnections"] = c.reconnections;
            d["recorded_rows"] = c.recorded_rows;
            d["recording_dropped"] = c.recording_dropped;
            d["recording_error"] = c.recording_error;
            d["last_connection_error"] = c.last_connection_error;
            return d;
          },
          kCountersDoc)
      .def(
          "record",
          [](const std::shared_ptr<Receiver>& self, const std::string& path) {
            Receiver::RecordingId id = Receiver::kAnyRecording;
            {
              py::gil_scoped_release release;
              id = self->startRecording(path);
            }
            return Recording{self, path, id};
          },
          py::arg("path"), kRecordDoc)
      .def("is_recording", &Receiver::isRecording, py::call_guard<py::gil_scoped_release>(),
           "Return whether a recording runs.");
}

}  // namespace epson_python
