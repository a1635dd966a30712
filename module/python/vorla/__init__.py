# SPDX-License-Identifier: MIT
"""Workspaces of vorla from Python 3.

A workspace is an index file of numbered, reference-counted records with
typed items (numbers, texts, data files, child records), plus a data
directory beside it that holds the records' data files::

    import vorla
    with vorla.Workspace.create("album.ini") as ws, ws.transaction():
        album = ws.new_record("album")
        album["title"] = "Summer at the lake"
        album.new_file("notes").write_text("Two photos.\\n")

Workspace(path) loads one; Workspace.create(path) makes one;
default_workspace() is the process-wide default workspace that native code
in this process uses too. A Record is a mutable mapping of item names to
values, with typed reads (get_int, get_str, get_bytes, get_path,
get_record). ws.transaction() saves a block's changes, or drops them when
the block raises. Errors of the library raise Error (a RuntimeError) whose
str() says what failed and where, with its code, path, errno, line and item
name as attributes; WriterConflict when another process holds or changed
the workspace.

The package, the extension module _vorla and native extensions built
against get_include() and get_cmake_dir() share one library, libvorla.so:
one process has one default workspace, whichever is imported first.
"""

import collections.abc
import contextlib
import os

from vorla._core import Error, Record, Workspace, WriterConflict

from vorla import _core, _layout

__all__ = ["Error", "Record", "Workspace", "WriterConflict",
           "default_workspace", "get_cmake_dir", "get_include"]


def _located(path):
    if _layout.RELATIVE:
        path = os.path.join(os.path.dirname(os.path.abspath(__file__)), path)
    return os.path.normpath(path)


def get_include():
    """The directory to put on a native extension's include path, so that
    it includes <vorla/workspace/workspace.h>. With find_package(vorla)
    (see get_cmake_dir) the target vorla::shared brings it along."""
    return _located(_layout.INCLUDE)


def get_cmake_dir():
    """The directory of this vorla's CMake package, for
    ``-Dvorla_DIR=$(python3 -c 'import vorla; print(vorla.get_cmake_dir())')``:
    find_package(vorla) then gives vorla::shared, the library that this
    package and _vorla use, so that an extension linked to it shares their
    default workspace and writer locks."""
    return _located(_layout.CMAKE)

# The compiled core (vorla/_core) holds what every read of an item goes
# through; what the mapping protocol derives from those calls alone is
# written here, once, in Python.


class _NoDefault:
    def __repr__(self):
        return "<no default>"


_NO_DEFAULT = _NoDefault()


class _KeysView(collections.abc.KeysView):
    """The item names of a record, set-like."""

    __slots__ = ()

    def __iter__(self):
        return iter(self._mapping._keys())


class _ValuesView(collections.abc.ValuesView):
    """The item values of a record."""

    __slots__ = ()

    def __iter__(self):
        return iter(self._mapping._values())


class _ItemsView(collections.abc.ItemsView):
    """The (name, value) pairs of a record, set-like."""

    __slots__ = ()

    def __iter__(self):
        return iter(self._mapping._items())


def _pop(self, name, default=_NO_DEFAULT):
    """Removes the item name and returns its value, or default when there
    is none (KeyError without a default). What the item owned is released:
    a popped Path names a data file deleted at the next save, a popped
    Record may be gone."""
    try:
        value = self[name]
    except KeyError:
        if default is _NO_DEFAULT:
            raise
        return default
    del self[name]
    return value


def _popitem(self):
    """Removes the first item and returns its (name, value) pair; KeyError
    when the record has none."""
    for name in self:
        value = self[name]
        del self[name]
        return name, value
    raise KeyError("popitem(): record is empty")


def _setdefault(self, name, default):
    """The value of the item name, put first as default when there is
    none."""
    try:
        return self[name]
    except KeyError:
        self[name] = default
        return self[name]


def _update(self, other=(), /, **items):
    """Puts every item of other (a mapping, or (name, value) pairs) and of
    the keyword arguments, as rec[name] = value does, in that order."""
    if isinstance(other, collections.abc.Mapping):
        pairs = ((name, other[name]) for name in other)
    elif hasattr(other, "keys"):
        pairs = ((name, other[name]) for name in other.keys())
    else:
        pairs = other
    for name, value in pairs:
        self[name] = value
    for name, value in items.items():
        self[name] = value


def _clear(self):
    """Removes every item, releasing what each owned."""
    for name in self._keys():
        if name in self:
            del self[name]


def _eq(self, other):
    """Handles on the same record are equal; a record and any other
    mapping are equal when they hold the same items."""
    if isinstance(other, Record):
        return self._same(other)
    if isinstance(other, collections.abc.Mapping):
        return dict(self._items()) == dict(other.items())
    return NotImplemented


_core._set_views(_KeysView, _ValuesView, _ItemsView)
for _name, _function in (("pop", _pop),
                         ("popitem", _popitem), ("setdefault", _setdefault),
                         ("update", _update), ("clear", _clear),
                         ("__eq__", _eq)):
    _function.__name__ = _name
    _function.__qualname__ = "Record." + _name
    setattr(Record, _name, _function)
collections.abc.MutableMapping.register(Record)


def _records(self):
    """The records in id order without record 0, the system record that
    iteration gives first (and len() counts)."""
    return (rec for rec in self if rec.id != 0)


@contextlib.contextmanager
def _transaction(self):
    """A block whose changes are saved when it ends, or dropped when it
    raises::

        with ws.transaction():
            ws.new_record("album")["title"] = "Lake"

    On an exception the workspace is loaded again from its index file and
    the data files handed out since it was last saved are deleted, so that
    none is left behind; then the exception goes on. Like a database
    transaction, the rollback drops every change not saved, those made
    before the block too, and records taken before it raise
    Error("foreign record") afterwards. A save that fails at the end
    raises and leaves the changes in memory."""
    try:
        yield self
    except BaseException:
        self._revert()
        raise
    self.save()


for _name, _function in (("records", _records),
                         ("transaction", _transaction)):
    _function.__name__ = _name
    _function.__qualname__ = "Workspace." + _name
    setattr(Workspace, _name, _function)


def _error_str(self):
    text = RuntimeError.__str__(self)
    where = []
    if getattr(self, "path", None) is not None:
        where.append(repr(self.path))
    if getattr(self, "line", None) is not None:
        where.append("line %d" % self.line)
    if getattr(self, "name", None) is not None:
        where.append("item %r" % (self.name,))
    if where:
        text += ": " + ", ".join(where)
    if getattr(self, "errno", None) is not None:
        text += ": " + os.strerror(self.errno)
    if getattr(self, "reason", None) is not None:
        text += ": " + self.reason
    return text


def _error_repr(self):
    parts = [repr(a) for a in self.args]
    for attr in ("code", "path", "errno", "line", "name", "holder"):
        value = getattr(self, attr, None)
        if value is not None:
            parts.append("%s=%r" % (attr, value))
    return "vorla.%s(%s)" % (type(self).__name__, ", ".join(parts))


# The class of the compiled classes, as the type information names it.
_CoreType = type(Workspace)

_error_str.__name__ = _error_str.__qualname__ = "__str__"
_error_repr.__name__ = _error_repr.__qualname__ = "__repr__"
Error.__str__ = _error_str
Error.__repr__ = _error_repr


# Python functions in front of the compiled ones that help() would show
# as methods of a capsule, pybind11's holder of the C++ function.
def _docstring(function):
    """The docstring of a compiled function, without the signature that
    Python functions carry themselves."""
    return function.__doc__.split("\n--\n\n", 1)[-1]


_create = Workspace.create


def create(path, data_dir="data", *, overwrite=False):
    return _create(path, data_dir, overwrite=overwrite)


def default_workspace():
    return _core.default_workspace()


create.__doc__ = _docstring(_create)
create.__qualname__ = "Workspace.create"
Workspace.create = staticmethod(create)
default_workspace.__doc__ = _docstring(_core.default_workspace)
del create

for _cls in (Error, Record, Workspace, WriterConflict):
    _cls.__module__ = "vorla"
default_workspace.__module__ = "vorla"
del _cls, _name, _function
