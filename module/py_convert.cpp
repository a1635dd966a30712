#include "module/py_convert.h"

#include <cstdint>
#include <string>

#include "utils/str_utils.h"
#include "workspace/error.h"

namespace vorla {
namespace python {

namespace {

// The bytes of a bytes object or of a str encoded as os.fsencode does.
std::string fs_bytes(py::handle value) {
  if (PyBytes_Check(value.ptr())) {
    return std::string(PyBytes_AS_STRING(value.ptr()),
                       static_cast<size_t>(PyBytes_GET_SIZE(value.ptr())));
  }
  py::object encoded =
      py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(value.ptr()));
  if (!encoded) throw py::error_already_set();
  return std::string(PyBytes_AS_STRING(encoded.ptr()),
                     static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

}  // namespace

std::string to_bytes(py::handle value, const char* what) {
  if (!PyBytes_Check(value.ptr()) && !PyUnicode_Check(value.ptr())) {
    throw py::type_error(std::string(what) + " must be str or bytes, not " +
                         Py_TYPE(value.ptr())->tp_name);
  }
  return fs_bytes(value);
}

std::string to_text(py::handle value, const char* what) {
  std::string text = to_bytes(value, what);
  if (!text.empty() &&
      (utils::is_space(text.front()) || utils::is_space(text.back())))
    throw Error(Error::INVALID_TEXT);
  return text;
}

std::string to_path(py::handle value) {
  py::object path = py::reinterpret_steal<py::object>(PyOS_FSPath(value.ptr()));
  if (!path) throw py::error_already_set();
  return fs_bytes(path);
}

uint64_t to_number(py::handle value) {
  if (!PyLong_Check(value.ptr())) {
    throw py::type_error(std::string("a number must be int, not ") +
                         Py_TYPE(value.ptr())->tp_name);
  }
  unsigned long long number = PyLong_AsUnsignedLongLong(value.ptr());
  if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    throw py::error_already_set();  // OverflowError, negatives included
  }
  return static_cast<uint64_t>(number);
}

bool to_id(py::handle value, unsigned* id) {
  if (!PyLong_Check(value.ptr())) {
    throw py::type_error(std::string("a record id must be int, not ") +
                         Py_TYPE(value.ptr())->tp_name);
  }
  int overflow = 0;
  long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow != 0 || number < 0 || number > 0xffffffffLL) return false;
  *id = static_cast<unsigned>(number);
  return true;
}

py::str from_bytes(const std::string& bytes) {
  PyObject* text = PyUnicode_DecodeFSDefaultAndSize(
      bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

py::object from_path(const std::string& path) {
  if (path.empty()) return py::none();
  static py::handle path_type =
      py::object(py::module_::import("pathlib").attr("Path")).release();
  return path_type(from_bytes(path));
}

}  // namespace python
}  // namespace vorla
