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

The package shares the library of the extension module _vorla, which it
loads: one process has one default workspace, whichever is imported first.
"""

import collections.abc

from vorla._core import (Error, Record, Workspace, WriterConflict,
                         default_workspace)

__all__ = ["Error", "Record", "Workspace", "WriterConflict",
           "default_workspace"]

# A record reads as a mapping of item names to values; isinstance() says so.
collections.abc.Mapping.register(Record)

for _cls in (Error, Record, Workspace, WriterConflict):
    _cls.__module__ = "vorla"
default_workspace.__module__ = "vorla"
del _cls
