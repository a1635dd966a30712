// SPDX-License-Identifier: MIT
// Conversions between Python objects and the library's byte strings, as the
// package `vorla` makes them: names, texts and paths go to the library as
// bytes (str encoded as os.fsencode does, bytes as they are) and come back
// as str decoded as os.fsdecode does, so that every byte survives the round
// trip; paths come back as pathlib.Path.

#ifndef VORLA_MODULE_PY_CONVERT_H_
#define VORLA_MODULE_PY_CONVERT_H_

#include <cstdint>
#include <string>

#include <pybind11/pybind11.h>

namespace vorla {
namespace python {

namespace py = pybind11;

// Makes what the conversions keep (pathlib.Path, the file system
// encoding, the parts of data directories). Called once, when the module
// is imported, under the import lock: a first use in two threads at once
// would otherwise run Python code inside a static's initialisation, where
// the other thread may wait for it holding the interpreter's lock.
void prepare_conversions();
// str or bytes; TypeError naming `what` for anything else.
std::string to_bytes(py::handle value, const char* what);
// A text or a type name, as to_bytes gives it. Error("invalid text") for
// one with a blank at either end: the C++ library takes it, but its reader
// trims it, and a Python caller is promised every byte back.
std::string to_text(py::handle value, const char* what);
// str, bytes or an os.PathLike, as os.fsencode(os.fspath(value)) gives it.
std::string to_path(py::handle value);
// A Python int from 0 to 2**64-1; OverflowError outside, TypeError for
// anything that is not an int.
uint64_t to_number(py::handle value);
// A record id: an int from 0 to 2**32-1. False (and no exception) when
// `value` is an int outside that range; TypeError when it is no int.
bool to_id(py::handle value, unsigned* id);

// The str that os.fsdecode makes of `bytes`.
py::str from_bytes(const std::string& bytes);
// A pathlib.Path of `path`, or None when it is empty.
py::object from_path(const std::string& path);
// The pathlib.Path of the data file `name` (a bare file name) in the data
// directory `datadir`: what from_path(datadir + "/" + name) gives, made
// several times faster from a cached Path of the directory where the
// running Python's pathlib allows it (see py_convert.cpp).
py::object data_file_path(const std::string& datadir, const std::string& name);
// The offset of the object slot `name` (a __slots__ entry) of the class
// `type`, or -1 when it has no such slot; and the write of one, for
// objects made with tp_alloc whose class has been checked so.
Py_ssize_t slot_offset(py::handle type, const char* name);
void set_slot(PyObject* obj, Py_ssize_t offset, PyObject* value);
// The str that vorla show --json gives of `bytes`: valid UTF-8 decoded, a
// byte that is not valid UTF-8 as the character of the same number.
py::str json_text(const std::string& bytes);

}  // namespace python
}  // namespace vorla

#endif  // VORLA_MODULE_PY_CONVERT_H_
