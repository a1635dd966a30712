// The documentation strings of vorla._core, which help(vorla) shows.

#include "module/py_bind.h"

namespace vorla {
namespace python {
namespace doc {

const char* const kModule =
    "The compiled half of the package vorla; use the package itself.";

const char* const kError =
    "An error of the workspace library.\n\n"
    "str(e) is the library's fixed message (\"cannot find id\"); the\n"
    "attributes say more: code, a stable lower-case name of the message\n"
    "(\"cannot_find_id\"); path, the file or directory involved (str) or\n"
    "None; errno, the errno of the system call that failed, or None; line,\n"
    "the line of the index file that was refused, counted from 1, or None.\n"
    "\"workspace closed\" is raised by a workspace used after close(),\n"
    "\"foreign record\" by a record no longer in its workspace, and\n"
    "\"workspace busy at fork\", in a child made by fork, by a workspace\n"
    "that another thread was using when the process forked.";

const char* const kWriterConflict =
    "Another process holds the workspace's writer lock (\"workspace in\n"
    "use\"; holder is its process id, or None when it is not known), or\n"
    "saved the index file after this workspace read it (\"changed on\n"
    "disk\": load it again and redo the change). Nothing was changed.";

const char* const kWorkspace =
    "Workspace(path)\n\n"
    "A workspace loaded from the index file at path (str, bytes or\n"
    "os.PathLike): numbered records with typed items, and a data directory\n"
    "beside the index file that holds the records' data files.\n\n"
    "len(ws) is the number of records, ws[id] the record with that id\n"
    "(KeyError when there is none), id in ws tells whether it exists, and\n"
    "iterating gives the records in id order. Changes live in memory until\n"
    "save(). A workspace is a context manager: leaving the with block\n"
    "closes it, without saving.\n\n"
    "Threads: every operation locks the workspace, so Python threads may\n"
    "share one; load, save and copy_from let other threads run meanwhile.\n"
    "The path is made absolute when the workspace is opened, so a later\n"
    "os.chdir() changes nothing for it; saves go to the folder it was\n"
    "loaded from. After fork, the child takes the writer lock afresh.";

const char* const kWorkspaceCreate =
    "create(path, data_dir=\"data\", overwrite=False) -> Workspace\n\n"
    "Writes a new, empty workspace to path, with its data directory\n"
    "data_dir relative to the index file's folder (made if missing), and\n"
    "returns it. Error(\"index file exists\") when anything is at path,\n"
    "unless overwrite: then a workspace there that holds records is kept\n"
    "as path.bak (.bak.1, ... when taken). Error(\"shared data\n"
    "directory\") when another index file in the folder names the same\n"
    "data directory (Error.path names it): give each its own.";

const char* const kWorkspaceLoad =
    "load(path=None)\n\n"
    "Replaces the whole workspace by the index file at path, or reloads\n"
    "its own file. Records taken before refuse every operation afterwards\n"
    "(\"foreign record\"). On failure the workspace is left as it was.";

const char* const kWorkspaceSave =
    "save()\n\n"
    "Releases the temporary records and writes the index file atomically:\n"
    "after a crash it is the former file or the new one. The default\n"
    "workspace raises Error(\"workspace not loaded\") until it is loaded.";

const char* const kWorkspaceClose =
    "close()\n\n"
    "Drops the workspace unsaved and gives back its writer lock; its\n"
    "records and the workspace itself then raise Error(\"workspace\n"
    "closed\"). Closing again does nothing; the default workspace is never\n"
    "closed.";

const char* const kWorkspaceClosed = "Whether close() was called.";

const char* const kWorkspacePath =
    "The index file (pathlib.Path), or None for a workspace never loaded.";

const char* const kWorkspaceDataDir =
    "The data directory (pathlib.Path), or None for a workspace never "
    "loaded.";

const char* const kWorkspaceCounter =
    "The last record id handed out; a new record gets a higher one.";

const char* const kWorkspaceNewRecord =
    "new_record(type) -> Record\n\n"
    "A new record of the given type, kept until it is released.";

const char* const kWorkspaceNewTempRecord =
    "new_temp_record(type) -> Record\n\n"
    "A new temporary record: released, with its data files, at the next\n"
    "save, unless another record links it first.";

const char* const kWorkspaceCopyFrom =
    "copy_from(source, record) -> Record\n\n"
    "Copies a record of the workspace source (given as a Record or its\n"
    "id), with its data files and child records, into a new record of\n"
    "this workspace, and returns the copy. source may be this workspace.";

const char* const kDefaultWorkspace =
    "default_workspace() -> Workspace\n\n"
    "The process-wide default workspace, the one that native code in this\n"
    "process uses: what Python puts into it, that code sees, and the\n"
    "other way round. Empty until loaded (load(path)): save() and\n"
    "new_file() raise Error(\"workspace not loaded\") until then. Never\n"
    "closed.";

const char* const kRecord =
    "One record of a workspace: a type, reference counts, and named items.\n\n"
    "A record is a mapping of item names to values. rec[name] = value puts\n"
    "an item: an int from 0 to 2**64-1 is a number (OverflowError outside),\n"
    "a str (encoded as os.fsencode does) or bytes a text, a Record a child\n"
    "item (see link). rec[name] gives an int, a str (decoded as os.fsdecode\n"
    "does, so every byte comes back), a pathlib.Path for a data file, a\n"
    "Record for a child item, an (id, text) pair for an extchild; KeyError\n"
    "when there is no such item. Names are str or bytes. A text with a\n"
    "line break, or with a blank (space, tab, \\v, \\f) at either end,\n"
    "raises Error(\"invalid text\"): the index file could not give it back\n"
    "byte for byte.\n\n"
    "A record keeps its workspace alive, but raises Error once the\n"
    "workspace is closed (\"workspace closed\"), reloaded, or the record\n"
    "erased (\"foreign record\"). Records compare equal when they are the\n"
    "same record.";

const char* const kRecordId = "The record's id.";

const char* const kRecordType =
    "The record's type name (str); settable. Error(\"invalid text\") for\n"
    "one with a line break or a blank at either end, which the index file\n"
    "cannot carry.";

const char* const kRecordExtRefs =
    "References from outside the record graph: 1 for a record made by\n"
    "new_record, 0 for a child made by new_child.";

const char* const kRecordIntRefs = "Child items of other records that name it.";

const char* const kRecordTemporary =
    "Whether the record is temporary (released at the next save).";

const char* const kRecordWorkspace = "The workspace of the record.";

const char* const kRecordKeys = "keys() -> list of the item names, in order.";

const char* const kRecordValues = "values() -> list of the item values.";

const char* const kRecordItems = "items() -> list of (name, value) pairs.";

const char* const kRecordGet =
    "get(name, default=None)\n\n"
    "The item's value, or default when there is none.";

const char* const kRecordNewFile =
    "new_file(name, prefix=None) -> pathlib.Path\n\n"
    "Chooses a free data file name in the data directory, puts a file item\n"
    "name holding it and returns the path; the caller writes the file.\n"
    "prefix, when given, starts the file name; Error(\"invalid file\n"
    "name\") for a prefix with a separator, a line break or a blank at\n"
    "either end (name is the prefix when none is given).\n"
    "Error(\"file existed\") when an item of that name exists. Takes the\n"
    "workspace's writer lock.";

const char* const kRecordNewChild =
    "new_child(name) -> Record\n\n"
    "A new record owned by this one through the child item name; it is\n"
    "released with it. Error(\"existed\") when an item of that name exists.";

const char* const kRecordLink =
    "link(name, other)\n\n"
    "Puts a child item name that names the record other, of the same\n"
    "workspace, and counts one more internal reference to it.\n"
    "Error(\"cyclic link\") when this record can be reached from other.";

const char* const kRecordRelease =
    "release()\n\n"
    "Gives back an external reference. A record left without references is\n"
    "erased with its data files and, in cascade, its children; it then\n"
    "raises Error(\"foreign record\").";

}  // namespace doc
}  // namespace python
}  // namespace vorla
