// SPDX-License-Identifier: MIT
// The documentation strings of vorla._core, which help(vorla) shows. Each
// one of a callable starts with its signature and a line "--", which
// Python turns into __text_signature__ for inspect.signature and help().

#include "module/py_bind.h"

namespace vorla {
namespace python {
namespace doc {

const char* const kModule =
    "The compiled half of the package vorla; use the package itself.";

const char* const kError =
    "An error of the workspace library.\n\n"
    "str(e) says what failed and where, as OSError does:\n"
    "\"cannot open file: 'nope.ini': No such file or directory\",\n"
    "\"cannot parse this line: '/w/ws.ini', line 3\", \"changed in type:\n"
    "item 'title'\". e.args[0] is the library's fixed message (\"cannot\n"
    "find id\"), and the attributes say the rest: code, a stable lower-case\n"
    "name of the message (\"cannot_find_id\"); path, the file or directory\n"
    "involved (str) or None; errno, the errno of the system call that\n"
    "failed, or None; line, the line of the index file that was refused,\n"
    "counted from 1, or None; name, the item involved, or None; reason, a\n"
    "sentence on the rule that was broken, or None.\n"
    "\"workspace closed\" is raised by a workspace used after close(),\n"
    "\"foreign record\" by a record no longer in its workspace,\n"
    "\"system record\" by a copy or release of record 0, and \"workspace\n"
    "busy at fork\", in a child made by fork, by a workspace that another\n"
    "thread was using when the process forked.";

const char* const kWriterConflict =
    "Another process holds the workspace's writer lock (\"workspace in\n"
    "use\"; holder is its process id, or None when it is not known), or\n"
    "saved the index file after this workspace read it (\"changed on\n"
    "disk\": load it again and redo the change). Nothing was changed.";

const char* const kWorkspace =
    "Workspace(path)\n--\n\n"
    "A workspace loaded from the index file at path (str, bytes or\n"
    "os.PathLike): numbered records with typed items, and a data directory\n"
    "beside the index file that holds the records' data files.\n\n"
    "Iterating gives the records in id order, record 0 (the system record,\n"
    "type \"system_record\") first; len(ws) counts them all, record 0 too\n"
    "(records() gives the others). ws[id] is the record with that id\n"
    "(KeyError(id) when there is none); rec in ws tells whether a record is\n"
    "one of this workspace, id in ws whether a record has that id.\n"
    "Changes live in memory until save(); with ws.transaction(): saves a\n"
    "block's changes, or drops them when it raises. A workspace is a\n"
    "context manager: leaving the with block closes it, without saving.\n\n"
    "Threads: every operation locks the workspace, so Python threads may\n"
    "share one; load, save and copy_from let other threads run meanwhile.\n"
    "The path is made absolute when the workspace is opened, so a later\n"
    "os.chdir() changes nothing for it; saves go to the folder it was\n"
    "loaded from. After fork, the child takes the writer lock afresh.";

const char* const kWorkspaceCreate =
    "create(path, data_dir='data', *, overwrite=False)\n--\n\n"
    "Writes a new, empty workspace to path, with its data directory\n"
    "data_dir relative to the index file's folder (made if missing), and\n"
    "returns it. Error(\"index file exists\") when anything is at path,\n"
    "unless overwrite: then a workspace there that holds records is kept\n"
    "as path.bak (.bak.1, ... when taken). Error(\"shared data\n"
    "directory\") when another index file in the folder names the same\n"
    "data directory (Error.path names it): give each its own.\n"
    "Error(\"invalid file name\") for a data_dir that is absolute or leads\n"
    "out of the folder with \"..\".";

const char* const kWorkspaceLoad =
    "load(self, path=None)\n--\n\n"
    "Replaces the whole workspace by the index file at path, or reloads\n"
    "its own file. Records taken before refuse every operation afterwards\n"
    "(\"foreign record\"). On failure the workspace is left as it was.";

const char* const kWorkspaceSave =
    "save(self, path=None)\n--\n\n"
    "Releases the temporary records and writes the index file atomically:\n"
    "after a crash it is the former file or the new one. With path, writes\n"
    "a copy of the index there instead (save as), which names the same\n"
    "data files; the workspace stays the one of its own file. The default\n"
    "workspace raises Error(\"workspace not loaded\") until it is loaded.";

const char* const kWorkspaceClose =
    "close(self)\n--\n\n"
    "Drops the workspace unsaved and gives back its writer lock; its\n"
    "records and the workspace itself then raise Error(\"workspace\n"
    "closed\"). Closing again does nothing; the default workspace is never\n"
    "closed.";

const char* const kWorkspaceToDict =
    "to_dict(self)\n--\n\n"
    "The workspace as plain data that json.dumps takes, the content of\n"
    "vorla show --json: {\"index\", \"datadir\", \"counter\", \"records\"},\n"
    "each record a dict of its id, type, counts, whether a record with an\n"
    "external reference reaches it, and its items (name, type, value; a\n"
    "file's size and whether it is missing; a child's target and whether\n"
    "it is dangling). A byte of a text that is not UTF-8 reads as the\n"
    "character of the same number.";

const char* const kWorkspaceClosed = "Whether close() was called.";

const char* const kWorkspacePath =
    "The index file (pathlib.Path), or None for a workspace never loaded.";

const char* const kWorkspaceDataDir =
    "The data directory (pathlib.Path), or None for a workspace never "
    "loaded.";

const char* const kWorkspaceCounter =
    "The last record id handed out; a new record gets a higher one.";

const char* const kWorkspaceNewRecord =
    "new_record(self, type)\n--\n\n"
    "A new record of the given type, kept until it is released.";

const char* const kWorkspaceNewTempRecord =
    "new_temp_record(self, type)\n--\n\n"
    "A new temporary record: released, with its data files, at the next\n"
    "save, unless another record links it first.";

const char* const kWorkspaceCopyFrom =
    "copy_from(self, source, record)\n--\n\n"
    "Copies a record of the workspace source (given as a Record or its\n"
    "id), with its data files and child records, into a new record of\n"
    "this workspace, and returns the copy. source may be this workspace.\n"
    "Error(\"system record\") for record 0.";

const char* const kWorkspaceLen =
    "__len__(self, /)\n--\n\nThe number of records, record 0 included.";
const char* const kWorkspaceGetItem =
    "__getitem__(self, id, /)\n--\n\nThe record with that id.";
const char* const kWorkspaceContains =
    "__contains__(self, item, /)\n--\n\n"
    "Whether item is a record of this workspace, or the id of one.";
const char* const kWorkspaceIter =
    "__iter__(self, /)\n--\n\nThe records in id order.";
const char* const kWorkspaceEnter =
    "__enter__(self, /)\n--\n\nThe workspace itself.";
const char* const kWorkspaceExit =
    "__exit__(self, /, *exc)\n--\n\nCloses the workspace, unsaved.";
const char* const kWorkspaceRepr = "__repr__(self, /)\n--\n\nrepr(self).";
const char* const kIteratorIter = "__iter__(self, /)\n--\n\nThe iterator.";
const char* const kIteratorNext = "__next__(self, /)\n--\n\nThe next record.";

const char* const kDefaultWorkspace =
    "default_workspace()\n--\n\n"
    "The process-wide default workspace, the one that native code in this\n"
    "process uses: what Python puts into it, that code sees, and the\n"
    "other way round. Empty until loaded (load(path)): save() and\n"
    "new_file() raise Error(\"workspace not loaded\") until then. Never\n"
    "closed.";

const char* const kRecord =
    "One record of a workspace: a type, reference counts, and named items.\n\n"
    "A record is a mutable mapping of item names to values. rec[name] =\n"
    "value puts an item: an int from 0 to 2**64-1 is a number\n"
    "(OverflowError outside), a str (encoded as os.fsencode does) or bytes\n"
    "a text, a Record a child item (see link). A number or a text over an\n"
    "item of another type raises Error(\"changed in type\"): del it first.\n"
    "rec[name] gives an int, a str (decoded as os.fsdecode does, so every\n"
    "byte comes back), a pathlib.Path for a data file, a Record for a child\n"
    "item, an (id, text) pair for an extchild; KeyError(name) when there is\n"
    "no such item. get_int, get_str, get_bytes, get_path and get_record\n"
    "read one type and raise TypeError for an item of another.\n"
    "del rec[name], pop, popitem and clear remove items and release what\n"
    "they owned: a child item's reference, a data file (deleted at the next\n"
    "save, as a release deletes it). Names are str or bytes. A text with a\n"
    "line break, or with a blank (space, tab, \\v, \\f) at either end,\n"
    "raises Error(\"invalid text\"): the index file could not give it back\n"
    "byte for byte.\n\n"
    "A record keeps its workspace alive, but raises Error once the\n"
    "workspace is closed (\"workspace closed\"), reloaded, or the record\n"
    "erased (\"foreign record\"). Two records are equal when they are the\n"
    "same record (and hash so); a record and another mapping are equal\n"
    "when they hold the same items: rec == dict(rec).";

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

const char* const kRecordGetItem =
    "__getitem__(self, name, /)\n--\n\nThe value of the item name.";
const char* const kRecordSetItem =
    "__setitem__(self, name, value, /)\n--\n\n"
    "Puts the item name; a Record over an item of any type releases what\n"
    "the former item owned.";
const char* const kRecordDelItem =
    "__delitem__(self, name, /)\n--\n\n"
    "Removes the item name and releases what it owned.";
const char* const kRecordContains =
    "__contains__(self, name, /)\n--\n\nWhether the item name exists.";
const char* const kRecordLen = "__len__(self, /)\n--\n\nThe number of items.";
const char* const kRecordIter =
    "__iter__(self, /)\n--\n\nThe item names, in byte order.";
const char* const kRecordHash =
    "__hash__(self, /)\n--\n\nThe same for handles on the same record.";
const char* const kRecordRepr = "__repr__(self, /)\n--\n\nrepr(self).";

const char* const kRecordGet =
    "get(self, name, default=None)\n--\n\n"
    "The item's value, or default when there is none.";

const char* const kRecordKeys =
    "keys($self, /)\n--\n\n"
    "A set-like view of the item names, in byte order.";
const char* const kRecordValues =
    "values($self, /)\n--\n\n"
    "A view of the item values, in the order of their names.";
const char* const kRecordItems =
    "items($self, /)\n--\n\n"
    "A set-like view of the (name, value) pairs, in name order.";

const char* const kRecordGetInt =
    "get_int($self, name, /)\n--\n\n"
    "The number item name (int); TypeError for an item of another type,\n"
    "KeyError when there is none.";
const char* const kRecordGetStr =
    "get_str($self, name, /)\n--\n\n"
    "The text item name (str); TypeError for an item of another type,\n"
    "KeyError when there is none.";
const char* const kRecordGetBytes =
    "get_bytes($self, name, /)\n--\n\n"
    "The text item name as the bytes stored; TypeError for an item of\n"
    "another type, KeyError when there is none.";
const char* const kRecordGetPath =
    "get_path($self, name, /)\n--\n\n"
    "The file item name (pathlib.Path of its data file); TypeError for an\n"
    "item of another type, KeyError when there is none.";
const char* const kRecordGetRecord =
    "get_record($self, name, /)\n--\n\n"
    "The record that the child item name names; TypeError for an item of\n"
    "another type, KeyError when there is none.";

const char* const kRecordNewFile =
    "new_file(self, name, prefix=None)\n--\n\n"
    "Chooses a free data file name in the data directory, puts a file item\n"
    "name holding it and returns the path; the caller writes the file.\n"
    "prefix, when given, starts the file name; Error(\"invalid file\n"
    "name\") for a prefix with a separator, a line break or a blank at\n"
    "either end (name is the prefix when none is given).\n"
    "Error(\"file existed\") when an item of that name exists. Takes the\n"
    "workspace's writer lock.";

const char* const kRecordNewChild =
    "new_child(self, name, type=None)\n--\n\n"
    "A new record of the given type (none when None), owned by this one\n"
    "through the child item name; it is released with it. Error(\"existed\")\n"
    "when an item of that name exists.";

const char* const kRecordLink =
    "link(self, name, other)\n--\n\n"
    "Puts a child item name that names the record other, of the same\n"
    "workspace, and counts one more internal reference to it; what a\n"
    "former item of that name owned is released. Error(\"cyclic link\")\n"
    "when this record can be reached from other.";

const char* const kRecordRelease =
    "release(self)\n--\n\n"
    "Gives back an external reference. A record left without references is\n"
    "erased with its data files and, in cascade, its children; it then\n"
    "raises Error(\"foreign record\"). Error(\"system record\") for record 0.";

const char* const kRecordToDict =
    "to_dict(self)\n--\n\n"
    "The record as plain data, as it is among the \"records\" of\n"
    "Workspace.to_dict() and of vorla show --json.";

}  // namespace doc
}  // namespace python
}  // namespace vorla
