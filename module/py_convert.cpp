// SPDX-License-Identifier: MIT
#include "module/py_convert.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "utils/file_utils.h"
#include "utils/str_utils.h"
#include "workspace/error.h"

#include <structmember.h>  // T_OBJECT_EX

namespace vorla {
namespace python {

namespace {

// Whether os.fsencode is UTF-8 with surrogateescape, as on every usual
// Linux set-up: then a str without surrogates encodes as its UTF-8, which
// Python caches in the str. Set by prepare_conversions.
bool utf8_fs = false;

// The bytes of a bytes object or of a str encoded as os.fsencode does.
std::string fs_bytes(py::handle value) {
  if (PyBytes_Check(value.ptr())) {
    return std::string(PyBytes_AS_STRING(value.ptr()),
                       static_cast<size_t>(PyBytes_GET_SIZE(value.ptr())));
  }
  if (PyUnicode_Check(value.ptr()) && utf8_fs) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (utf8 != nullptr) return std::string(utf8, static_cast<size_t>(size));
    PyErr_Clear();  // a surrogate, which surrogateescape makes a byte again
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

Py_ssize_t slot_offset(py::handle type, const char* name) {
  py::object descr = py::getattr(type, name, py::none());
  if (!Py_IS_TYPE(descr.ptr(), &PyMemberDescr_Type)) return -1;
  const PyMemberDef* member =
      reinterpret_cast<PyMemberDescrObject*>(descr.ptr())->d_member;
  return member->type == T_OBJECT_EX ? member->offset : -1;
}

void set_slot(PyObject* obj, Py_ssize_t offset, PyObject* value) {
  PyObject** slot =
      reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
  Py_INCREF(value);
  Py_XSETREF(*slot, value);
}

namespace {

// Made by prepare_conversions, at import, and never destroyed: Python
// objects must not be freed after the interpreter ends.
py::handle path_type;

py::handle path_class() { return path_type; }

// Making a pathlib.Path parses its text, which costs most of a file item's
// read. pathlib up to Python 3.11 keeps a path in the slots _drv, _root and
// _parts (the list of its components) and caches its text in _str, and
// makes derived paths by filling them in directly (_from_parsed_parts): so
// does this, from the components of the data directory parsed once. That
// the running pathlib is such a one is not assumed but tried once: a path
// made so must equal, print, hash and split as the parsed one; if not
// (Python 3.12 made paths lazy, and making one cheap), every path is
// parsed.
class FastPaths {
 public:
  FastPaths() {
    if (PY_VERSION_HEX >= 0x030C0000) return;
    try {
      py::handle type = path_class()(py::str("/")).get_type();
      drvAt = slot_offset(type, "_drv");
      rootAt = slot_offset(type, "_root");
      partsAt = slot_offset(type, "_parts");
      strAt = slot_offset(type, "_str");
      usable = drvAt >= 0 && rootAt >= 0 && partsAt >= 0 && strAt >= 0;
      for (const char* probeDir : {"/a b/./c/", "/"}) {
        if (!usable) break;
        const std::string probeName = "_x__1_";
        py::object fast = make(probeDir, probeName);
        py::object slow = from_path(utils::pathadd(probeDir, probeName));
        usable = fast.get_type().is(slow.get_type()) && fast.equal(slow) &&
                 py::str(fast).equal(py::str(slow)) &&
                 fast.attr("parts").equal(slow.attr("parts")) &&
                 fast.attr("parent").equal(slow.attr("parent")) &&
                 fast.attr("name").equal(slow.attr("name")) &&
                 py::hash(fast) == py::hash(slow);
      }
    } catch (const py::error_already_set&) {
      usable = false;
      PyErr_Clear();
    }
    cached.reset();
  }

  bool usable = false;

  // The path, made from the cached parts of `datadir`. Python code may run
  // in the middle (pathlib parsing, a finalizer that an allocation lets
  // the garbage collector run), and another thread with it: the parts are
  // replaced whole, and each call uses the ones it took.
  py::object make(const std::string& datadir, const std::string& name) {
    std::shared_ptr<const DirParts> d = cached;
    if (!d || d->dir != datadir) {
      d = parse(datadir);
      cached = d;
    }
    py::str leaf = from_bytes(name);
    const Py_ssize_t n = PyList_GET_SIZE(d->parts.ptr());
    py::object all = py::reinterpret_steal<py::object>(PyList_New(n + 1));
    if (!all) throw py::error_already_set();
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* part = PyList_GET_ITEM(d->parts.ptr(), i);
      Py_INCREF(part);
      PyList_SET_ITEM(all.ptr(), i, part);
    }
    PyList_SET_ITEM(all.ptr(), n, leaf.inc_ref().ptr());
    py::object text = py::reinterpret_steal<py::object>(
        PyUnicode_Concat(d->prefix.ptr(), leaf.ptr()));
    if (!text) throw py::error_already_set();
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(d->cls.ptr());
    py::object path =
        py::reinterpret_steal<py::object>(type->tp_alloc(type, 0));
    if (!path) throw py::error_already_set();
    set_slot(path.ptr(), drvAt, d->drv.ptr());
    set_slot(path.ptr(), rootAt, d->root.ptr());
    set_slot(path.ptr(), partsAt, all.ptr());
    set_slot(path.ptr(), strAt, text.ptr());
    return path;
  }

 private:
  // A data directory as pathlib parsed it.
  struct DirParts {
    std::string dir;
    py::object cls;  // the concrete class that Path() makes
    py::object drv, root, parts;
    py::object prefix;  // the text of a path in the directory, up to the name
  };

  static std::shared_ptr<const DirParts> parse(const std::string& datadir) {
    py::object parsed = path_class()(from_bytes(datadir));
    std::shared_ptr<DirParts> d(new DirParts);
    d->dir = datadir;
    d->cls = py::reinterpret_borrow<py::object>(parsed.get_type());
    d->drv = parsed.attr("_drv");
    d->root = parsed.attr("_root");
    d->parts = parsed.attr("_parts");
    if (!PyList_Check(d->parts.ptr()) || PyList_GET_SIZE(d->parts.ptr()) == 0)
      throw py::value_error("unexpected path");
    // A directory that is its root alone ("/") ends in the separator.
    py::str text(parsed);
    d->prefix = PyList_GET_SIZE(d->parts.ptr()) == 1
                    ? py::object(text)
                    : py::object(text + py::str("/"));
    return d;
  }

  Py_ssize_t drvAt = -1, rootAt = -1, partsAt = -1, strAt = -1;
  std::shared_ptr<const DirParts> cached;
};

FastPaths* fast_paths = nullptr;

}  // namespace

void prepare_conversions() {
  if (path_type) return;
  path_type = py::object(py::module_::import("pathlib").attr("Path")).release();
  py::module_ sys = py::module_::import("sys");
  utf8_fs =
      sys.attr("getfilesystemencoding")().equal(py::str("utf-8")) &&
      sys.attr("getfilesystemencodeerrors")().equal(py::str("surrogateescape"));
  fast_paths = new FastPaths();
}

py::object from_path(const std::string& path) {
  if (path.empty()) return py::none();
  return path_class()(from_bytes(path));
}

py::object data_file_path(const std::string& datadir, const std::string& name) {
  // A name that is no single component is parsed, whatever it holds.
  const bool plain = !name.empty() && name != "." && name != ".." &&
                     name.find('/') == std::string::npos &&
                     name.find('\0') == std::string::npos;
  if (fast_paths->usable && plain && !datadir.empty()) {
    try {
      return fast_paths->make(datadir, name);
    } catch (const py::error_already_set&) {
      PyErr_Clear();
      fast_paths->usable = false;
    } catch (const py::value_error&) {
      // A directory that pathlib parsed unexpectedly: parsed every time.
    }
  }
  return from_path(utils::pathadd(datadir, name));
}

py::str json_text(const std::string& bytes) {
  PyObject* decoded = PyUnicode_DecodeUTF8(
      bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
  if (decoded == nullptr) throw py::error_already_set();
  py::str text = py::reinterpret_steal<py::str>(decoded);
  if (PyUnicode_MAX_CHAR_VALUE(decoded) < 0xdc80) return text;
  // surrogateescape gave each stray byte as U+DC80 + its value (from 0x80).
  const Py_ssize_t n = PyUnicode_GET_LENGTH(decoded);
  std::vector<Py_UCS4> chars(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS4 c = PyUnicode_READ_CHAR(decoded, i);
    if (c >= 0xdc80 && c <= 0xdcff) c -= 0xdc00;
    chars[static_cast<size_t>(i)] = c;
  }
  PyObject* fixed =
      PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars.data(), n);
  if (fixed == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(fixed);
}

}  // namespace python
}  // namespace vorla
