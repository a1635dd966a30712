# SPDX-License-Identifier: MIT
# Run in a fresh interpreter by module_test.py: imports _vorla and a peer
# module in the order given, then checks that the two share one type
# registry, published under both of its names, and that _vorla takes the
# peer's std::string *. Exits non-zero on a failed check.
#
#   load_order.py <first module> <second module> <index file path>

import ctypes
import importlib
import os
import sys


def registry_pointer(holder):
    """The address of the type registry that a capsule or CObject holds."""
    api = ctypes.pythonapi
    if type(holder).__name__ == "PyCapsule":
        api.PyCapsule_GetName.restype = ctypes.c_char_p
        api.PyCapsule_GetName.argtypes = [ctypes.py_object]
        api.PyCapsule_GetPointer.restype = ctypes.c_void_p
        api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        return api.PyCapsule_GetPointer(holder, api.PyCapsule_GetName(holder))
    api.PyCObject_AsVoidPtr.restype = ctypes.c_void_p
    api.PyCObject_AsVoidPtr.argtypes = [ctypes.py_object]
    return api.PyCObject_AsVoidPtr(holder)


def main(first, second, path):
    assert "_vorla" not in sys.modules
    modules = {}
    for name in (first, second):
        modules[name] = importlib.import_module(name)
        if name == "_vorla":
            # A refused argument makes _vorla look for std::string * now,
            # possibly before any module has registered it.
            try:
                modules[name].init_workspace(1, "data")
            except TypeError:
                pass
    vorla = modules.pop("_vorla")
    peer = modules.popitem()[1]
    if peer.registry_size() != 2:
        sys.exit("%s shares its registry with %d module(s)"
                 % (peer.__name__, peer.registry_size() - 1))
    runtime = sys.modules["swig_runtime_data4"]
    address = registry_pointer(runtime.type_pointer_capsule)
    if not address or address != registry_pointer(runtime.type_pointer):
        sys.exit("type_pointer and type_pointer_capsule differ")
    if sys.version_info[0] >= 3:
        path = os.fsencode(path)
    vorla.init_workspace(peer.string_new(path), peer.string_new(b"data"))


if __name__ == "__main__":
    main(*sys.argv[1:4])
