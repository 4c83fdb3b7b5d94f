// Bindings of the cell I/O: outputs, inputs, memory bits and the waits on a bit.
// Included once, by brevacon_module.cpp: the module stays one translation unit, since each unit
// that includes pybind11 costs a compilation of its own.

#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>

#include <epson/brevacon.h>

#include "brevacon_docs.h"

namespace epson_python {

namespace py = pybind11;
using epson::Brevacon;
using BrevaconClass = py::class_<Brevacon, std::shared_ptr<Brevacon>>;
using Release = py::call_guard<py::gil_scoped_release>;

// A bit, port or byte/word value from Python: an int, never a bool (True would quietly mean bit
// 1), and one the native int holds; the native check then says what the controller accepts.
int ioNumber(const py::int_& value, const char* name) {
  if (PyBool_Check(value.ptr()) != 0) {
    throw py::type_error(std::string(name) + " must be an int, not bool");
  }
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow != 0 || number < std::numeric_limits<int>::min() ||
      number > std::numeric_limits<int>::max()) {
    throw py::value_error(std::string(name) + " " + std::string(py::str(value)) +
                          " is out of range");
  }
  return static_cast<int>(number);
}

// The I/O bindings: numbers checked as ioNumber() does, the call made without the GIL.
template <typename Result>
auto ioRead(Result (Brevacon::*read)(int), const char* name) {
  return [read, name](Brevacon& self, const py::int_& number) {
    const int checked = ioNumber(number, name);
    py::gil_scoped_release release;
    return (self.*read)(checked);
  };
}

// A write of a bit's state (Value = bool) or of a byte or word (Value = const py::int_&).
template <typename Value, typename Native>
auto ioSet(void (Brevacon::*write)(int, Native), const char* name) {
  return [write, name](Brevacon& self, const py::int_& number, Value value) {
    const int checked = ioNumber(number, name);
    Native native{};
    if constexpr (std::is_same_v<Native, bool>) {
      native = value;
    } else {
      native = ioNumber(value, "value");
    }
    py::gil_scoped_release release;
    (self.*write)(checked, native);
  };
}

auto ioWait(bool (Brevacon::*wait)(int, bool, std::chrono::duration<double>)) {
  return [wait](Brevacon& self, const py::int_& bit, bool on, double timeout) {
    const int checked = ioNumber(bit, "bit");
    py::gil_scoped_release release;
    return (self.*wait)(checked, on, std::chrono::duration<double>(timeout));
  };
}

constexpr const char* kIoDoc = R"doc(

Bits and ports are numbered from 0; the controller decides which exist and refuses others
(``ControllerError``). Byte port n holds bits 8n to 8n+7, word port n bits 16n to 16n+15.

Raises:
    TypeError: For a bool where an int is meant or an int where a bool is meant; nothing is
        sent then.
    ValueError: For a negative number, or a value outside 0 to 255 (byte) or 0 to 65535
        (word); nothing is sent then.
)doc";

constexpr const char* kWaitDoc = R"doc(

A ``Wait`` runs on the controller as a motion does: ``abort_motion()`` reaches it from another
thread, the status heartbeat runs, and Ctrl-C aborts it. The controller refuses ``pause()``
meanwhile (code 21: a statement is running). Its reply may take ``timeout`` plus
{reply_timeout}. The interpreter lock is released.

Args:
    bit: The bit, from 0.
    on: The state to wait for.
    timeout: Seconds to wait at most, from 0.001 to {motion_timeout}; written to the controller
        in whole milliseconds.

Returns:
    True when the bit reached ``on``, False when the timeout passed first.

Raises:
    TypeError: For a bool ``bit`` or a non-bool ``on``; nothing is sent then.
    ValueError: For a negative bit or a timeout out of range; nothing is sent then.
    MotionAbortedError: If ``abort_motion()`` ended the wait.
    ControllerError: If the controller refuses the wait (a bit it does not have).
    ConnectionLostError: If the session is gone or the controller stops answering.
    TimeoutError: If the wait's reply does not come within ``timeout`` plus {reply_timeout}.
    KeyboardInterrupt: On Ctrl-C, after the wait was aborted.
)doc";

inline void bindCellIo(BrevaconClass& cls, const BrevaconDocs& docs) {
  const std::string& parse_raises = docs.parse_raises;
  // An I/O operation's text, its own failures, then the exchange's.
  const auto io = [&docs](const std::string& text, const std::string& own = "") {
    std::string doc = text + kIoDoc;
    return doc + own + docs.exchange_raises;
  };
  const std::string wait_doc = filled(kWaitDoc, {{"{reply_timeout}", docs.reply_timeout},
                                                 {"{motion_timeout}", docs.motion_timeout}});
  cls.def("set_output", ioSet<bool>(&Brevacon::setOutput, "bit"), py::arg("bit"),
          py::arg("on").noconvert(),
          io("Switch a standard output bit on or off (SPEL+ ``On``/``Off``).").c_str())
      .def("get_output", ioRead(&Brevacon::getOutput, "bit"), py::arg("bit"),
           io("Read a standard output bit (``Oport``).", parse_raises).c_str())
      .def("get_input", ioRead(&Brevacon::getInput, "bit"), py::arg("bit"),
           io("Read a standard input bit (``Sw``).", parse_raises).c_str())
      .def("set_output_byte", ioSet<const py::int_&>(&Brevacon::setOutputByte, "port"),
           py::arg("port"), py::arg("value"),
           io("Write a standard output byte port (``Out``), 0 to 255.").c_str())
      .def("get_output_byte", ioRead(&Brevacon::getOutputByte, "port"), py::arg("port"),
           io("Read a standard output byte port (``Out``), 0 to 255.", parse_raises).c_str())
      .def("get_input_byte", ioRead(&Brevacon::getInputByte, "port"), py::arg("port"),
           io("Read a standard input byte port (``In``), 0 to 255.", parse_raises).c_str())
      .def("set_output_word", ioSet<const py::int_&>(&Brevacon::setOutputWord, "port"),
           py::arg("port"), py::arg("value"),
           io("Write a standard output word port (``OutW``), 0 to 65535.").c_str())
      .def("get_output_word", ioRead(&Brevacon::getOutputWord, "port"), py::arg("port"),
           io("Read a standard output word port (``OutW``), 0 to 65535.", parse_raises).c_str())
      .def("get_input_word", ioRead(&Brevacon::getInputWord, "port"), py::arg("port"),
           io("Read a standard input word port (``InW``), 0 to 65535.", parse_raises).c_str())
      .def("set_memory_bit", ioSet<bool>(&Brevacon::setMemoryBit, "bit"), py::arg("bit"),
           py::arg("on").noconvert(),
           io("Switch a memory bit on or off (``MemOn``/``MemOff``), shared with controller "
              "programs.")
               .c_str())
      .def("get_memory_bit", ioRead(&Brevacon::getMemoryBit, "bit"), py::arg("bit"),
           io("Read a memory bit (``MemSw``).", parse_raises).c_str())
      .def("wait_input", ioWait(&Brevacon::waitInput), py::arg("bit"), py::arg("on").noconvert(),
           py::arg("timeout"),
           ("Wait until a standard input bit is ``on`` (SPEL+ ``Wait Sw(bit) = On, timeout``)." +
            wait_doc)
               .c_str())
      .def("wait_memory_bit", ioWait(&Brevacon::waitMemoryBit), py::arg("bit"),
           py::arg("on").noconvert(), py::arg("timeout"),
           ("Wait until a memory bit is ``on`` (SPEL+ ``Wait MemSw(bit) = On, timeout``)." +
            wait_doc)
               .c_str());
}

}  // namespace epson_python
