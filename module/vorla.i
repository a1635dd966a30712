// The Python extension module _vorla. From Python it offers one operation,
// init_workspace(mainfile, reldatadir), which writes a new, empty workspace
// to disk; the shared object also carries the whole library for other native
// code in the process. The same interface builds the module for Python 2.7
// and for Python 3; the generated wrapper compiles for either.
//
// Surface: the module has no documentation string and exactly two functions
// of its own, init_workspace and SWIG_PyInstanceMethod_New.
//
// Arguments convert to std::string as follows:
//   Python 2 str (and subclasses)   all its bytes, embedded NULs included
//   Python 3 bytes (and subclasses) all its bytes, embedded NULs included
//   Python 3 str (and subclasses)   encoded as os.fsencode does (file-system
//                                   encoding with surrogate escapes)
//   wrapped char *                  the characters up to its first NUL
//   wrapped std::string *           that string, used in place (only when
//                                   another module has registered the type)
//   None, null wrapped pointer      ValueError "invalid null reference ..."
//   anything else                   TypeError "in method ..."
// A std::exception thrown by the library reaches Python as RuntimeError with
// its message (std::bad_alloc as MemoryError).

// Built with -noproxy: Python uses the extension module itself.
%module _vorla

%{
#include <new>
#include <stdexcept>
#include <string>

#include "module/vorla.h"
%}

// ---------------------------------------------------------------------------
// Shared type registry.
//
// Every SWIG module of one interpreter shares a registry of wrapped types,
// kept in the module "swig_runtime_data4". Modules of this generation keep it
// under "type_pointer_capsule", modules of older generations under
// "type_pointer" (a CObject under Python 2). _vorla joins the registry it
// finds under either name and then publishes it under both, so that
// neighbours of either kind, loaded before or after it, see the same types.
// Start-up code finds the registry through the SWIG_GetModule macro,
// redefined below to look under both names. Later type lookups go by the
// capsule name only, so a registry joined under "type_pointer" gets a
// capsule alias too. A registry that _vorla creates itself is SWIG's own
// capsule, freed when the interpreter shuts down.
// ---------------------------------------------------------------------------
%runtime %{
#define VORLA_REGISTRY_MODULE "swig_runtime_data" SWIG_RUNTIME_VERSION
#define VORLA_LEGACY_ATTR "type_pointer" SWIG_TYPE_TABLE_NAME
#define VORLA_LEGACY_CAPSULE_NAME VORLA_REGISTRY_MODULE "." VORLA_LEGACY_ATTR

// The registry an older module left under "type_pointer", or null.
SWIGINTERN swig_module_info *vorla_legacy_registry(void) {
  PyObject *runtime =
      PyDict_GetItemString(PyImport_GetModuleDict(), VORLA_REGISTRY_MODULE);
  if (!runtime) return 0;
  PyObject *holder = PyObject_GetAttrString(runtime, VORLA_LEGACY_ATTR);
  if (!holder) {
    PyErr_Clear();
    return 0;
  }
  void *registry = 0;
#if PY_VERSION_HEX < 0x03000000
  if (PyCObject_Check(holder)) registry = PyCObject_AsVoidPtr(holder);
#endif
  if (PyCapsule_CheckExact(holder))
    registry = PyCapsule_GetPointer(holder, PyCapsule_GetName(holder));
  Py_DECREF(holder);
  if (!registry) PyErr_Clear();
  return static_cast<swig_module_info *>(registry);
}

SWIGINTERN swig_module_info *vorla_get_registry(void *clientdata) {
  swig_module_info *registry = SWIG_Python_GetModule(clientdata);
  return registry ? registry : vorla_legacy_registry();
}

#undef SWIG_GetModule
#define SWIG_GetModule(clientdata) vorla_get_registry(clientdata)

// Adds `holder` to `runtime` as `name` unless that name is taken; takes
// the reference.
SWIGINTERN void vorla_publish(PyObject *runtime, const char *name,
                              PyObject *holder) {
  if (!holder) {
    PyErr_Clear();
    return;
  }
  if (PyObject_HasAttrString(runtime, name) ||
      PyModule_AddObject(runtime, name, holder) != 0) {
    Py_DECREF(holder);
    PyErr_Clear();
  }
}

// Makes `registry` visible under both names. The aliases own nothing: the
// registry stays with the object that first held it.
SWIGINTERN void vorla_publish_registry(swig_module_info *registry) {
  PyObject *runtime = PyImport_AddModule(VORLA_REGISTRY_MODULE);
  if (!registry || !runtime) {
    PyErr_Clear();
    return;
  }
  if (!PyObject_HasAttrString(runtime, SWIGPY_CAPSULE_ATTR_NAME)) {
    vorla_publish(runtime, SWIGPY_CAPSULE_ATTR_NAME,
                  PyCapsule_New(registry, SWIGPY_CAPSULE_NAME, 0));
  }
  if (!PyObject_HasAttrString(runtime, VORLA_LEGACY_ATTR)) {
#if PY_VERSION_HEX < 0x03000000
    vorla_publish(runtime, VORLA_LEGACY_ATTR,
                  PyCObject_FromVoidPtr(registry, 0));
#else
    vorla_publish(runtime, VORLA_LEGACY_ATTR,
                  PyCapsule_New(registry, VORLA_LEGACY_CAPSULE_NAME, 0));
#endif
  }
}
%}

// ---------------------------------------------------------------------------
// SWIG_PyInstanceMethod_New: the entry that SWIG modules have long carried
// for proxy classes, kept so that the module offers what existing callers
// find in it. Under Python 3 it wraps a function as an instance method.
// Python 2 has no such wrapper for built-in functions, and the entry makes
// no object there: calling it ends in the interpreter's SystemError.
// ---------------------------------------------------------------------------
%runtime %{
SWIGINTERN PyObject *vorla_instance_method_new(PyObject *, PyObject *func) {
#if PY_VERSION_HEX >= 0x03000000
  return PyInstanceMethod_New(func);
#else
  (void)func;
  return 0;
#endif
}
%}

%init %{
  {
    static PyMethodDef instance_method_def = {
        "SWIG_PyInstanceMethod_New", vorla_instance_method_new, METH_O, 0};
    PyObject *fn = PyCFunction_NewEx(&instance_method_def, 0,
                                     PyDict_GetItemString(d, "__name__"));
    if (!fn || PyDict_SetItemString(d, "SWIG_PyInstanceMethod_New", fn) != 0)
      PyErr_Clear();
    Py_XDECREF(fn);
  }
  vorla_publish_registry(SWIG_GetModule(0));
%}

// ---------------------------------------------------------------------------
// std::string arguments. Replaces SWIG's conversion (the first definition of
// a fragment wins) to take Python 3 str and bytes as file names are taken,
// and to look up std::string * on every call until some module registers it:
// that module may well be imported after the first call.
// ---------------------------------------------------------------------------
%fragment(SWIG_AsPtr_frag(std::string), "header",
          fragment="SWIG_AsCharPtrAndSize") {
SWIGINTERN int SWIG_AsPtr_std_string(PyObject *obj, std::string **val) {
%#if PY_VERSION_HEX >= 0x03000000
  if (PyUnicode_Check(obj)) {
    PyObject *bytes = PyUnicode_EncodeFSDefault(obj);
    if (!bytes) {
      PyErr_Clear();
      return SWIG_TypeError;
    }
    if (val)
      *val = new std::string(PyBytes_AS_STRING(bytes),
                             static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return SWIG_NEWOBJ;
  }
  if (PyBytes_Check(obj)) {
    if (val)
      *val = new std::string(PyBytes_AS_STRING(obj),
                             static_cast<size_t>(PyBytes_GET_SIZE(obj)));
    return SWIG_NEWOBJ;
  }
%#endif
  // Python 2 str, a wrapped char *, or None (no buffer: no string).
  char *buf = 0;
  size_t size = 0;
  int alloc = SWIG_OLDOBJ;
  if (SWIG_IsOK(SWIG_AsCharPtrAndSize(obj, &buf, &size, &alloc))) {
    if (!buf) {
      if (val) *val = 0;
      return SWIG_OLDOBJ;
    }
    if (val) *val = new std::string(buf, size - 1);
    if (alloc == SWIG_NEWOBJ) delete[] buf;
    return SWIG_NEWOBJ;
  }
  swig_type_info *descriptor = SWIG_TypeQuery("std::string *");
  if (!descriptor) return SWIG_ERROR;
  std::string *vptr = 0;
  int res =
      SWIG_ConvertPtr(obj, reinterpret_cast<void **>(&vptr), descriptor, 0);
  if (SWIG_IsOK(res) && val) *val = vptr;
  return res;
}
}

%include <std_string.i>

// ---------------------------------------------------------------------------
// Argument tuples are parsed by format ("OO:init_workspace"), which gives a
// wrong number of arguments the interpreter's usual message
// ("init_workspace() takes exactly 2 arguments (1 given)"). The wrapper is
// generated with -nofastunpack, whose one call to PyArg_UnpackTuple this
// macro turns into the equivalent PyArg_ParseTuple. Defined in the wrapper
// section, it reaches only the generated wrapper function.
// ---------------------------------------------------------------------------
%wrapper %{
#define VORLA_PARSE_FORMAT_2 "OO"
#define PyArg_UnpackTuple(args, name, min, max, ...) \
  PyArg_ParseTuple(args, VORLA_PARSE_FORMAT_##max ":" name, __VA_ARGS__)
%}

// Library errors become Python exceptions; a C++ exception must never
// unwind through the interpreter.
%exception {
  try {
    $action
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
    SWIG_fail;
  } catch (const std::exception &e) {
    SWIG_exception_fail(SWIG_RuntimeError, e.what());
  }
}

namespace vorla {
void init_workspace(const std::string &mainfile, const std::string &reldatadir);
}
