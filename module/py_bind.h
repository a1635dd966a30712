// SPDX-License-Identifier: MIT
// The parts of the extension module vorla._core, the compiled half of the
// Python package `vorla`, and their documentation strings.

#ifndef VORLA_MODULE_PY_BIND_H_
#define VORLA_MODULE_PY_BIND_H_

#include <string>
#include <utility>

#include "workspace/error.h"
#include "workspace/writer_lock.h"

#include <pybind11/pybind11.h>

namespace vorla {
namespace python {

// A library error about one item, with what the library's error does not
// carry: the item's name, and a sentence on the rule broken where the
// fixed message alone says too little. vorla.Error shows both.
class ItemError : public Error {
 public:
  ItemError(const Error& e, std::string itemName, std::string why = "")
      : Error(e), item(std::move(itemName)), reason(std::move(why)) {}
  const std::string& name() const { return item; }
  const std::string& why() const { return reason; }

 private:
  std::string item;
  std::string reason;
};

// Runs `f`; a library error it throws comes out as an ItemError naming the
// item `name` (writer conflicts, about the workspace, as they are).
template <typename F>
auto about_item(const std::string& name, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const WriterConflict&) {
    throw;
  } catch (const ItemError&) {
    throw;
  } catch (const Error& e) {
    throw ItemError(e, name);
  }
}

// Error and WriterConflict, and the translation of the library's errors.
void bind_errors(pybind11::module_& m);
// Record.
void bind_record(pybind11::module_& m);
// Workspace and default_workspace().
void bind_workspace(pybind11::module_& m);

class WorkspaceHandle;
class RecordHandle;
// What vorla show --json prints of the workspace, and of one record (its
// entry among "records"), as plain Python data.
pybind11::dict workspace_to_dict(WorkspaceHandle& ws);
pybind11::dict record_to_dict(const RecordHandle& h);

// For the package's raw entry points (Python slots and methods that skip
// pybind11's dispatcher for speed): inside a catch block, sets the Python
// error of the C++ exception being handled, as pybind11's dispatcher does.
void set_python_error();

// Closes the way by which Python code could make an object of the bound
// class `cls` without the C++ object behind it (cls.__new__(cls), or the
// base's __new__): calling the class calls `make` with the same arguments
// instead, and with no `make` raises TypeError. The package's own calls
// make the objects, which pybind11 does without the class's __new__.
void seal_class(pybind11::handle cls,
                pybind11::handle make = pybind11::handle());

namespace doc {

extern const char* const kModule;
extern const char* const kError;
extern const char* const kWriterConflict;
extern const char* const kWorkspace;
extern const char* const kWorkspaceCreate;
extern const char* const kWorkspaceLoad;
extern const char* const kWorkspaceSave;
extern const char* const kWorkspaceClose;
extern const char* const kWorkspaceToDict;
extern const char* const kWorkspaceClosed;
extern const char* const kWorkspacePath;
extern const char* const kWorkspaceDataDir;
extern const char* const kWorkspaceCounter;
extern const char* const kWorkspaceNewRecord;
extern const char* const kWorkspaceNewTempRecord;
extern const char* const kWorkspaceCopyFrom;
extern const char* const kWorkspaceLen;
extern const char* const kWorkspaceGetItem;
extern const char* const kWorkspaceContains;
extern const char* const kWorkspaceIter;
extern const char* const kWorkspaceEnter;
extern const char* const kWorkspaceExit;
extern const char* const kWorkspaceRepr;
extern const char* const kIteratorIter;
extern const char* const kIteratorNext;
extern const char* const kDefaultWorkspace;
extern const char* const kRecord;
extern const char* const kRecordId;
extern const char* const kRecordType;
extern const char* const kRecordExtRefs;
extern const char* const kRecordIntRefs;
extern const char* const kRecordTemporary;
extern const char* const kRecordWorkspace;
extern const char* const kRecordGetItem;
extern const char* const kRecordSetItem;
extern const char* const kRecordDelItem;
extern const char* const kRecordContains;
extern const char* const kRecordLen;
extern const char* const kRecordIter;
extern const char* const kRecordHash;
extern const char* const kRecordRepr;
extern const char* const kRecordGet;
extern const char* const kRecordKeys;
extern const char* const kRecordValues;
extern const char* const kRecordItems;
extern const char* const kRecordGetInt;
extern const char* const kRecordGetStr;
extern const char* const kRecordGetBytes;
extern const char* const kRecordGetPath;
extern const char* const kRecordGetRecord;
extern const char* const kRecordNewFile;
extern const char* const kRecordNewChild;
extern const char* const kRecordLink;
extern const char* const kRecordRelease;
extern const char* const kRecordToDict;

}  // namespace doc

}  // namespace python
}  // namespace vorla

#endif  // VORLA_MODULE_PY_BIND_H_
