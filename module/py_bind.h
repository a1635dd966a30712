// The parts of the extension module vorla._core, the compiled half of the
// Python package `vorla`, and their documentation strings.

#ifndef VORLA_MODULE_PY_BIND_H_
#define VORLA_MODULE_PY_BIND_H_

#include <pybind11/pybind11.h>

namespace vorla {
namespace python {

// Error and WriterConflict, and the translation of the library's errors.
void bind_errors(pybind11::module_& m);
// Record.
void bind_record(pybind11::module_& m);
// Workspace and default_workspace().
void bind_workspace(pybind11::module_& m);

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
extern const char* const kWorkspaceClosed;
extern const char* const kWorkspacePath;
extern const char* const kWorkspaceDataDir;
extern const char* const kWorkspaceCounter;
extern const char* const kWorkspaceNewRecord;
extern const char* const kWorkspaceNewTempRecord;
extern const char* const kWorkspaceCopyFrom;
extern const char* const kDefaultWorkspace;

extern const char* const kRecord;
extern const char* const kRecordId;
extern const char* const kRecordType;
extern const char* const kRecordExtRefs;
extern const char* const kRecordIntRefs;
extern const char* const kRecordTemporary;
extern const char* const kRecordWorkspace;
extern const char* const kRecordKeys;
extern const char* const kRecordValues;
extern const char* const kRecordItems;
extern const char* const kRecordGet;
extern const char* const kRecordNewFile;
extern const char* const kRecordNewChild;
extern const char* const kRecordLink;
extern const char* const kRecordRelease;

}  // namespace doc

}  // namespace python
}  // namespace vorla

#endif  // VORLA_MODULE_PY_BIND_H_
