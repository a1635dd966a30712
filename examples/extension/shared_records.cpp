// SPDX-License-Identifier: MIT
// shared_records: a Python extension whose native code works on the
// process-wide default workspace, definst, which vorla.default_workspace()
// shows to Python. Linked against vorla::shared, it uses the very library
// that the package vorla and _vorla use, so both sides see one workspace
// and share its writer lock, whichever is imported first.

// Python.h comes first, as Python asks of its extensions.
// clang-format off
#include <Python.h>
// clang-format on

#include <memory>
#include <string>

#include <vorla/module/vorla.h>
#include <vorla/workspace/error.h>
#include <vorla/workspace/workspace.h>

namespace {

// Runs `body`, turning a library error into a Python RuntimeError.
template <typename Body>
PyObject* guarded(Body body) {
  try {
    return body();
  } catch (const vorla::Error& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
}

// count() -> the number of records of the default workspace.
PyObject* count(PyObject*, PyObject*) {
  return PyLong_FromSize_t(vorla::definst.getStructs().size());
}

// add(type) -> the id of a new record of that type in the default workspace.
PyObject* add(PyObject*, PyObject* args) {
  const char* type;
  if (!PyArg_ParseTuple(args, "s", &type)) return nullptr;
  return guarded([type] {
    std::shared_ptr<vorla::StructConfig> rec = vorla::definst.newStruct();
    rec->setType(type);
    return PyLong_FromUnsignedLong(rec->getId());
  });
}

// save() saves the default workspace to its index file.
PyObject* save(PyObject*, PyObject*) {
  return guarded([] {
    vorla::definst.save();
    Py_RETURN_NONE;
  });
}

PyMethodDef methods[] = {
    {"count", count, METH_NOARGS, "Records of the default workspace."},
    {"add", add, METH_VARARGS, "A new record of the default workspace."},
    {"save", save, METH_NOARGS, "Saves the default workspace."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module = {PyModuleDef_HEAD_INIT,
                      "shared_records",
                      nullptr,
                      -1,
                      methods,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_shared_records() { return PyModule_Create(&module); }
