// Numbers as the motion parameters take them from Python. pybind11's own casters take a bool for
// an int or a float (True is an int in Python), so speed_percent=True would quietly send
// "Speed 1". These take any int-like object (one with __index__, such as a NumPy integer) where an
// int is meant and any real number where a float is meant, never a bool, and never a float where
// an int is meant; the error names the argument.

#pragma once

#include <pybind11/pybind11.h>

#include <climits>
#include <optional>
#include <string>

namespace epson_python {

// The caster cannot see the argument's name, so a value it refuses carries the reason, and the
// binding raises it with the name (checked()): the signature still says "int" or "float".
struct StrictInt {
  int value = 0;
  std::string refused;  // why the value was refused; empty when it was taken
};
struct StrictReal {
  double value = 0.0;
  std::string refused;
};

// The value, or TypeError naming `name`.
inline std::optional<int> checked(const std::optional<StrictInt>& number, const char* name) {
  if (!number) return std::nullopt;
  if (!number->refused.empty())
    throw pybind11::type_error(std::string(name) + " " + number->refused);
  return number->value;
}
inline std::optional<double> checked(const std::optional<StrictReal>& number, const char* name) {
  if (!number) return std::nullopt;
  if (!number->refused.empty()) {
    throw pybind11::type_error(std::string(name) + " " + number->refused);
  }
  return number->value;
}

}  // namespace epson_python

namespace pybind11::detail {

inline std::string pythonTypeName(handle value) { return Py_TYPE(value.ptr())->tp_name; }

template <>
struct type_caster<epson_python::StrictInt> {
  PYBIND11_TYPE_CASTER(epson_python::StrictInt, const_name("int"));

  bool load(handle src, bool /*convert*/) {
    if (PyBool_Check(src.ptr()) != 0 || PyIndex_Check(src.ptr()) == 0) {
      value.refused = "must be an int, not " + pythonTypeName(src);
      return true;
    }
    const object index = reinterpret_steal<object>(PyNumber_Index(src.ptr()));
    if (!index) throw error_already_set();
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0 || number < INT_MIN || number > INT_MAX) {
      value.refused = std::string(str(index)) + " does not fit a 32-bit int";
      return true;
    }
    value.value = static_cast<int>(number);
    return true;
  }
};

template <>
struct type_caster<epson_python::StrictReal> {
  PYBIND11_TYPE_CASTER(epson_python::StrictReal, const_name("float"));

  bool load(handle src, bool /*convert*/) {
    if (PyBool_Check(src.ptr()) != 0 ||
        (PyFloat_Check(src.ptr()) == 0 && PyIndex_Check(src.ptr()) == 0 &&
         !hasattr(src, "__float__"))) {
      value.refused = "must be a float, not " + pythonTypeName(src);
      return true;
    }
    const double number = PyFloat_AsDouble(src.ptr());
    if (number == -1.0 && PyErr_Occurred() != nullptr) throw error_already_set();
    value.value = number;
    return true;
  }
};

}  // namespace pybind11::detail
