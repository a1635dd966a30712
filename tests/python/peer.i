// SPDX-License-Identifier: MIT
// A second, independent SWIG module for the tests of _vorla. It hands out
// wrapped std::string * and char * pointers, which _vorla.init_workspace
// must take, and tells how many modules share its type registry.
//
// Built twice from this file: _vorla_peer keeps the registry as this SWIG
// generation does ("type_pointer_capsule"); with VORLA_PEER_LEGACY defined,
// _vorla_legacy_peer keeps it only under "type_pointer", as modules of older
// generations do (a CObject under Python 2).

#ifdef VORLA_PEER_LEGACY
%module _vorla_legacy_peer
#else
%module _vorla_peer
#endif

%{
#include <deque>
#include <string>
%}

#ifdef VORLA_PEER_LEGACY
%runtime %{
#define PEER_REGISTRY_MODULE "swig_runtime_data" SWIG_RUNTIME_VERSION
#define PEER_LEGACY_ATTR "type_pointer" SWIG_TYPE_TABLE_NAME

SWIGINTERN swig_module_info *peer_get_registry(void *) {
  PyObject *runtime =
      PyDict_GetItemString(PyImport_GetModuleDict(), PEER_REGISTRY_MODULE);
  PyObject *holder =
      runtime ? PyObject_GetAttrString(runtime, PEER_LEGACY_ATTR) : 0;
  if (!holder) {
    PyErr_Clear();
    return 0;
  }
#if PY_VERSION_HEX < 0x03000000
  void *registry = PyCObject_AsVoidPtr(holder);
#else
  void *registry = PyCapsule_GetPointer(holder, PyCapsule_GetName(holder));
#endif
  Py_DECREF(holder);
  if (!registry) PyErr_Clear();
  return static_cast<swig_module_info *>(registry);
}

SWIGINTERN void peer_set_registry(swig_module_info *registry) {
  PyObject *runtime = PyImport_AddModule(PEER_REGISTRY_MODULE);
#if PY_VERSION_HEX < 0x03000000
  PyObject *holder = PyCObject_FromVoidPtr(registry, 0);
#else
  PyObject *holder = PyCapsule_New(
      registry, PEER_REGISTRY_MODULE "." PEER_LEGACY_ATTR, 0);
#endif
  if (runtime && holder) PyModule_AddObject(runtime, PEER_LEGACY_ATTR, holder);
}

#undef SWIG_GetModule
#define SWIG_GetModule(clientdata) peer_get_registry(clientdata)
#undef SWIG_SetModule
#define SWIG_SetModule(clientdata, pointer) peer_set_registry(pointer)
%}
#endif

namespace std {
class string;
}
%types(char *);

%{
// Everything made here lives until the process ends.
static std::deque<std::string> &peer_store() {
  static std::deque<std::string> store;
  return store;
}

static std::string *peer_keep(PyObject *bytes) {
  char *data = 0;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) return 0;
  peer_store().push_back(std::string(data, static_cast<size_t>(size)));
  return &peer_store().back();
}
%}

%inline %{
// A wrapped std::string * holding `bytes` (bytes, or str under Python 2).
PyObject *string_new(PyObject *bytes) {
  std::string *s = peer_keep(bytes);
  return s ? SWIG_NewPointerObj(s, SWIGTYPE_p_std__string, 0) : 0;
}

// The bytes a wrapped std::string * holds now.
PyObject *string_value(std::string *s) {
  if (!s) Py_RETURN_NONE;
  return PyBytes_FromStringAndSize(s->data(),
                                   static_cast<Py_ssize_t>(s->size()));
}

// A wrapped char * to a NUL-terminated copy of `bytes`.
PyObject *chars_new(PyObject *bytes) {
  std::string *s = peer_keep(bytes);
  return s ? SWIG_NewPointerObj(&(*s)[0], SWIGTYPE_p_char, 0) : 0;
}

// Wrapped null pointers; SWIG_NewPointerObj would give None for them.
PyObject *string_null() {
  return SwigPyObject_New(0, SWIGTYPE_p_std__string, 0);
}
PyObject *chars_null() { return SwigPyObject_New(0, SWIGTYPE_p_char, 0); }

// The number of modules, this one included, that share its type registry.
int registry_size() {
  int n = 1;
  for (swig_module_info *m = swig_module.next; m != &swig_module; m = m->next)
    ++n;
  return n;
}
%}
