"""Workspaces of vorla from Python 3.

A workspace is an index file of numbered, reference-counted records with
typed items (numbers, texts, data files, child records), plus a data
directory beside it that holds the records' data files::

    import vorla
    with vorla.Workspace.create("album.ini") as ws:
        album = ws.new_record("album")
        album["title"] = "Summer at the lake"
        album.new_file("notes").write_text("Two photos.\\n")
        ws.save()

Workspace(path) loads one; Workspace.create(path) makes one;
default_workspace() is the process-wide default workspace that native code
in this process uses too. Errors of the library raise Error (a
RuntimeError) with the library's message and its code, path, errno and
line; WriterConflict when another process holds or changed the workspace.

The package, the extension module _vorla and native extensions built
against get_include() and get_cmake_dir() share one library, libvorla.so:
one process has one default workspace, whichever is imported first.
"""

import collections.abc
import os

from vorla._core import (Error, Record, Workspace, WriterConflict,
                         default_workspace)

from vorla import _layout

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

# A record reads as a mapping of item names to values; isinstance() says so.
collections.abc.Mapping.register(Record)

for _cls in (Error, Record, Workspace, WriterConflict):
    _cls.__module__ = "vorla"
default_workspace.__module__ = "vorla"
del _cls
