// SPDX-License-Identifier: MIT
// The Python extension module _vorla. From Python it offers one operation,
// init_workspace(mainfile, reldatadir), which writes a new, empty workspace
// to disk (keeping a former one with records as mainfile.bak); the shared
// object also carries the whole library for other native code in the
// process. The same interface builds the module for Python 2.7
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
//   Python 3 os.PathLike            what its __fspath__ returns (str or
//                                   bytes), converted as above
//   wrapped char *                  the characters up to its first NUL
//   wrapped std::string *           a copy of that string (only when another
//                                   module has registered the type)
//   None, null wrapped pointer      ValueError "invalid null reference ..."
//   anything else                   TypeError "in method ..."
// A wrapped pointer may be reached through `this` (a proxy object), at most
// VORLA_CHAIN_LIMIT objects deep. A std::exception thrown by the library
// reaches Python as RuntimeError with its message (std::bad_alloc as
// MemoryError). The library runs without the interpreter's lock.

// Built with -noproxy: Python uses the extension module itself.
%module _vorla

%{
#include <exception>
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
// redefined below to look under both names. Later type lookups of other
// modules go by the capsule name only, so a registry joined under
// "type_pointer" gets a capsule alias too. A registry that _vorla creates itself is SWIG's own
// capsule, freed when the interpreter shuts down.
//
// An interpreter may show no registry at all: a subinterpreter has its own
// sys.modules, and Python code may remove or replace "swig_runtime_data4".
// SWIG's type lookup by name would then walk a null registry. Once started,
// _vorla searches instead the registry it joined at start-up, to which it
// stays linked; its lookups by name (SWIG_TypeQuery, redefined below) go
// through SWIG_GetModule, and so do without SWIG's cache of found types.
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
  // Only a capsule named as registries are: a capsule of any other name
  // holds something else, which would be read as a registry.
  const char *name =
      PyCapsule_CheckExact(holder) ? PyCapsule_GetName(holder) : 0;
  if (name && (strcmp(name, VORLA_LEGACY_CAPSULE_NAME) == 0 ||
               strcmp(name, SWIGPY_CAPSULE_NAME) == 0))
    registry = PyCapsule_GetPointer(holder, name);
  Py_DECREF(holder);
  if (!registry) PyErr_Clear();
  return static_cast<swig_module_info *>(registry);
}

// The registry _vorla joined at start-up; null until then, so that start-up
// itself sees whether the interpreter has one.
static swig_module_info *vorla_joined_registry = 0;

SWIGINTERN swig_module_info *vorla_get_registry(void *clientdata) {
  swig_module_info *registry = SWIG_Python_GetModule(clientdata);
  if (!registry) registry = vorla_legacy_registry();
  return registry ? registry : vorla_joined_registry;
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

// Type lookups by name, on the registry SWIG_GetModule gives. In the header
// section, which comes after SWIG's own definition of SWIG_TypeQuery.
%header %{
SWIGINTERN swig_type_info *vorla_type_query(const char *name) {
  swig_module_info *registry = SWIG_GetModule(0);
  return registry ? SWIG_TypeQueryModule(registry, registry, name) : 0;
}

#undef SWIG_TypeQuery
#define SWIG_TypeQuery(name) vorla_type_query(name)
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
  vorla_joined_registry = &swig_module;
%}

// ---------------------------------------------------------------------------
// std::string arguments. Replaces SWIG's conversion (the first definition of
// a fragment wins) to take Python 3 str, bytes and path-like objects as file
// names are taken, to look up std::string * on every call until some module
// registers it (that module may well be imported after the first call), and
// to find wrapped pointers without SWIG's own search.
//
// That search lets go of what a `this` property returns before using it
// (read after it is freed), follows `this` without end (an object that is
// its own `this` hangs the interpreter, deaf to Ctrl-C), takes any object
// whose type is named "SwigPyObject" for a pointer object, and walks the
// pointers chained to one by its append method without end. The search here
// holds every object while it looks at it, stops after VORLA_CHAIN_LIMIT
// steps and takes only real pointer objects; SWIG then converts the pointer
// object found, which runs no Python code.
// ---------------------------------------------------------------------------
%fragment(SWIG_AsPtr_frag(std::string), "header",
          fragment="SWIG_pchar_descriptor") {
// A proxy holds its pointer object one `this` deep, and multiple
// inheritance chains one pointer per base class: anything longer is a cycle
// or made to harm.
%#define VORLA_CHAIN_LIMIT 64

// A pointer object of this or another SWIG module. Every module has a
// static type of that name; a Python class may take the name too.
SWIGINTERN bool vorla_is_pointer_object(PyObject *obj) {
  PyTypeObject *type = Py_TYPE(obj);
  if (type == SwigPyObject_type()) return true;
  return !(type->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
         strcmp(type->tp_name, "SwigPyObject") == 0;
}

// The next object on the way from `obj` to its pointer object, where SWIG
// looks for it: `this` (under Python 2 read from the instance dictionary
// alone when there is one), or the referent of a weak proxy. New reference,
// or null.
SWIGINTERN PyObject *vorla_this_of(PyObject *obj) {
  PyObject *next = 0;
%#if PY_VERSION_HEX < 0x03000000
  PyObject **dict = 0;
  if (PyInstance_Check(obj)) {
    next = _PyInstance_Lookup(obj, SWIG_This());
    Py_XINCREF(next);
    return next;
  }
  if ((dict = _PyObject_GetDictPtr(obj)) != 0) {
    next = *dict ? PyDict_GetItem(*dict, SWIG_This()) : 0;
    Py_XINCREF(next);
    return next;
  }
  if (PyWeakref_CheckProxy(obj)) {
    next = PyWeakref_GET_OBJECT(obj);
    Py_INCREF(next);
    return next;
  }
%#endif
  next = PyObject_GetAttr(obj, SWIG_This());
  if (!next) PyErr_Clear();
  return next;
}

// The pointer object that `obj` stands for, with the pointers chained to it
// checked; new reference, or null.
SWIGINTERN PyObject *vorla_pointer_object(PyObject *obj) {
  int steps = 0;
  Py_INCREF(obj);
  while (!vorla_is_pointer_object(obj)) {
    // An object that only takes the name is no way to a pointer.
    PyObject *next = 0;
    if (++steps <= VORLA_CHAIN_LIMIT &&
        strcmp(Py_TYPE(obj)->tp_name, "SwigPyObject") != 0)
      next = vorla_this_of(obj);
    Py_DECREF(obj);
    if (!next) return 0;
    obj = next;
  }
  // SWIG tries the chained pointers one after the other: each must be a
  // real pointer object with a type, and the chain must end.
  steps = 0;
  for (PyObject *link = obj; link;
       link = reinterpret_cast<SwigPyObject *>(link)->next) {
    if (++steps > VORLA_CHAIN_LIMIT || !vorla_is_pointer_object(link) ||
        !reinterpret_cast<SwigPyObject *>(link)->ty) {
      Py_DECREF(obj);
      return 0;
    }
  }
  return obj;
}

// The string a wrapped char * or std::string * holds, copied: the pointer
// object found may be gone once the conversion ends (a `this` property may
// make a new one each time), and the library runs without the interpreter's
// lock, while other threads may change or free what the pointer points to.
SWIGINTERN int vorla_pointed_string(PyObject *obj, std::string **val) {
  // Type lookups may import the registry module, which runs Python code:
  // they come before the pointer object is checked, not between the check
  // and the conversion.
  swig_type_info *chars = SWIG_pchar_descriptor();
  swig_type_info *strings = SWIG_TypeQuery("std::string *");
  PyObject *pointer = vorla_pointer_object(obj);
  if (!pointer) return SWIG_TypeError;
  void *vptr = 0;
  int res = SWIG_TypeError;
  if (chars && SWIG_IsOK(SWIG_ConvertPtr(pointer, &vptr, chars, 0))) {
    res = vptr ? SWIG_NEWOBJ : SWIG_OLDOBJ;
    if (val) *val = vptr ? new std::string(static_cast<char *>(vptr)) : 0;
  } else if (strings &&
             SWIG_IsOK(SWIG_ConvertPtr(pointer, &vptr, strings, 0))) {
    res = vptr ? SWIG_NEWOBJ : SWIG_OLDOBJ;
    if (val)
      *val = vptr ? new std::string(*static_cast<std::string *>(vptr)) : 0;
  }
  Py_DECREF(pointer);
  return res;
}

// The bytes of a bytes object (Python 2 str), or of a Python 3 str encoded
// as os.fsencode does.
SWIGINTERN int vorla_text_string(PyObject *obj, std::string **val) {
  PyObject *bytes = obj;
%#if PY_VERSION_HEX >= 0x03000000
  if (PyUnicode_Check(obj)) bytes = PyUnicode_EncodeFSDefault(obj);
  if (!bytes) {
    PyErr_Clear();
    return SWIG_TypeError;
  }
%#endif
  if (val)
    *val = new std::string(PyBytes_AS_STRING(bytes),
                           static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
  if (bytes != obj) Py_DECREF(bytes);
  return SWIG_NEWOBJ;
}

SWIGINTERN int SWIG_AsPtr_std_string(PyObject *obj, std::string **val) {
  if (PyBytes_Check(obj)) return vorla_text_string(obj, val);
%#if PY_VERSION_HEX >= 0x03000000
  if (PyUnicode_Check(obj)) return vorla_text_string(obj, val);
  // A path-like object as os.PathLike tells one: its type has __fspath__.
  // What that returns is taken as os.fspath takes it, str or bytes only.
  if (PyObject_HasAttrString(reinterpret_cast<PyObject *>(Py_TYPE(obj)),
                             "__fspath__")) {
    PyObject *path = PyOS_FSPath(obj);
    if (!path) {
      PyErr_Clear();
      return SWIG_TypeError;
    }
    int res = vorla_text_string(path, val);
    Py_DECREF(path);
    return res;
  }
%#endif
  if (obj == Py_None) {
    if (val) *val = 0;
    return SWIG_OLDOBJ;
  }
  return vorla_pointed_string(obj, val);
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
// unwind through the interpreter. The library runs without the interpreter's
// lock, so that other Python threads go on while it writes and flushes the
// file; by then the arguments are the module's own copies. An exception is
// kept until the lock is taken back: only then may Python be told of it.
%exception {
  std::exception_ptr vorla_failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    $action
  } catch (...) {
    vorla_failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (vorla_failure) {
    try {
      std::rethrow_exception(vorla_failure);
    } catch (const std::bad_alloc &) {
      PyErr_NoMemory();
      SWIG_fail;
    } catch (const std::exception &e) {
      SWIG_exception_fail(SWIG_RuntimeError, e.what());
    }
  }
}

namespace vorla {
void init_workspace(const std::string &mainfile, const std::string &reldatadir);
}
