// SPDX-License-Identifier: MIT
// vorla._core, the compiled half of the Python package `vorla`.
//
// It carries no copy of the library: it is linked against _vorla.so, the
// extension module that holds the whole library, and finds it beside its
// own package directory ($ORIGIN/..). The process thus has one library, one
// default workspace and one table of writer locks, whichever of _vorla and
// vorla Python imports first, and native code linked against _vorla.so sees
// what Python does.

#include <string>

#include "module/py_bind.h"
#include "module/py_convert.h"
#include "workspace/error.h"
#include "workspace/writer_lock.h"

#include <pybind11/pybind11.h>

namespace vorla {
namespace python {

namespace {

// The exception types; made once, when the module is first imported, and
// kept for the life of the process.
PyObject* error_type = nullptr;
PyObject* conflict_type = nullptr;

PyObject* new_type(py::module_& m, const char* name, const char* docText,
                   PyObject* base) {
  const std::string qualified = "vorla." + std::string(name);
  PyObject* type =
      PyErr_NewExceptionWithDoc(qualified.c_str(), docText, base, nullptr);
  if (type == nullptr) throw py::error_already_set();
  // What an Error that Python code makes itself carries.
  py::handle cls(type);
  for (const char* attr : {"code", "path", "errno", "line", "name", "reason"}) {
    cls.attr(attr) = py::none();
  }
  m.attr(name) = cls;
  return type;
}

py::object or_none(bool present, py::object value) {
  return present ? value : py::none();
}

void raise(PyObject* type, const Error& e, py::object holder,
           const ItemError* about = nullptr) {
  py::object exc = py::reinterpret_borrow<py::object>(type)(e.what());
  exc.attr("code") = Error::codeName(e.code());
  exc.attr("path") = or_none(!e.path().empty(), from_bytes(e.path()));
  exc.attr("errno") = or_none(e.sysErrno() != 0, py::int_(e.sysErrno()));
  exc.attr("line") = or_none(e.line() != 0, py::int_(e.line()));
  if (about != nullptr) {
    exc.attr("name") =
        or_none(!about->name().empty(), from_bytes(about->name()));
    exc.attr("reason") = or_none(!about->why().empty(), py::str(about->why()));
  }
  if (!holder.is_none()) exc.attr("holder") = holder;
  PyErr_SetObject(type, exc.ptr());
}

void translate(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const WriterConflict& e) {
    raise(conflict_type, e,
          or_none(e.kind() == WriterConflict::IN_USE && e.holder() != 0,
                  py::int_(e.holder())));
  } catch (const ItemError& e) {
    raise(error_type, e, py::none(), &e);
  } catch (const Error& e) {
    raise(error_type, e, py::none());
  }
}

// The attribute of a sealed class that its calls go to.
const char kMake[] = "_vorla_make";

PyObject* sealed_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  PyObject* make =
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), kMake);
  if (make == nullptr) {
    PyErr_Format(PyExc_TypeError,
                 "%s objects cannot be made directly; the package's calls "
                 "give them",
                 type->tp_name);
    return nullptr;
  }
  PyObject* made = PyObject_Call(make, args, kwds);
  Py_DECREF(make);
  return made;
}

// What `make` returned is whole already.
int sealed_init(PyObject*, PyObject*, PyObject*) { return 0; }

}  // namespace

void set_python_error() {
  auto& local =
      py::detail::get_local_internals().registered_exception_translators;
  if (py::detail::apply_exception_translators(local)) return;
  auto& global = py::detail::get_internals().registered_exception_translators;
  if (py::detail::apply_exception_translators(global)) return;
  PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
}

void seal_class(py::handle cls, py::handle make) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  // A C slot rather than a __new__ attribute: the base's __new__ then
  // refuses this class too ("is not safe"), as object.__new__ does.
  type->tp_new = &sealed_new;
  type->tp_init = &sealed_init;
  if (make) cls.attr(kMake) = make;
  PyType_Modified(type);
}

void bind_errors(py::module_& m) {
  error_type = new_type(m, "Error", doc::kError, PyExc_RuntimeError);
  conflict_type =
      new_type(m, "WriterConflict", doc::kWriterConflict, error_type);
  py::handle(conflict_type).attr("holder") = py::none();
  py::register_exception_translator(&translate);
}

}  // namespace python
}  // namespace vorla

PYBIND11_MODULE(_core, m) {
  namespace python = vorla::python;
  // Every docstring starts with the signature that inspect.signature and
  // help() read ("name(self, arg)" then "--"); pybind11's own would show
  // its internal types and repeat it.
  pybind11::options options;
  options.disable_function_signatures();
  python::prepare_conversions();
  m.doc() = python::doc::kModule;
  python::bind_errors(m);
  python::bind_record(m);
  python::bind_workspace(m);
}
