// SPDX-License-Identifier: MIT
// The Workspace class of the package `vorla`: loading, creating, saving and
// closing a workspace, its records as a mapping from ids, and copies.

#include <unistd.h>  // getcwd, rmdir

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "module/py_bind.h"
#include "module/py_convert.h"
#include "module/py_handles.h"
#include "utils/file_utils.h"
#include "utils/posix_file.h"
#include "workspace/create.h"
#include "workspace/error.h"
#include "workspace/index_format.h"

#include <pybind11/pybind11.h>

namespace vorla {
namespace python {

namespace {

typedef std::shared_ptr<WorkspaceHandle> WorkspacePtr;

// The records of a workspace in id order, as they are when each is reached:
// the ids are taken when the iteration starts, and a record erased since is
// passed over.
class RecordIterator {
 public:
  explicit RecordIterator(WorkspacePtr ws_) : ws(std::move(ws_)), pos(0) {
    Guard guard(*ws);
    for (const auto& entry : ws->man().getStructs()) {
      ids.push_back(entry.second->getId());
    }
    std::sort(ids.begin(), ids.end());
  }

  RecordHandle next() {
    std::shared_ptr<StructConfig> rec;
    {
      Guard guard(*ws);
      const SpaceMan::Registry& structs = ws->man().getStructs();
      while (!rec && pos < ids.size()) {
        auto it = structs.find(SpaceMan::Registry::keyOf(ids[pos++]));
        if (it != structs.end()) rec = it->second;
      }
    }
    if (!rec) throw py::stop_iteration();
    return RecordHandle(ws, rec);
  }

 private:
  WorkspacePtr ws;
  std::vector<unsigned> ids;
  size_t pos;
};

// The iterator's __next__ as its raw slot: a full visit of a large
// workspace would spend a third of its time in pybind11's dispatcher.
PyObject* next_record(PyObject* self) {
  try {
    return py::cast(py::handle(self).cast<RecordIterator&>().next())
        .release()
        .ptr();
  } catch (const py::stop_iteration&) {
    return nullptr;  // the end, with no exception set
  } catch (...) {
    set_python_error();
    return nullptr;
  }
}

// A path made absolute against the working directory of the moment
// (nothing else changed), so that a workspace's path, its reload and the
// data file paths it hands out stay right after os.chdir().
std::string absolute(const std::string& file) {
  if (file.empty() || file[0] == '/') return file;
  std::vector<char> cwd(4096);
  while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
    // A working directory that is gone, or that cannot be named, leaves
    // the path as it is.
    if (errno != ERANGE || cwd.size() > (1u << 20)) return file;
    cwd.resize(cwd.size() * 2);
  }
  const std::string dir(cwd.data());
  return dir == "/" ? "/" + file : dir + "/" + file;
}

WorkspacePtr open_workspace(py::handle path) {
  const std::string file = absolute(to_path(path));
  std::unique_ptr<SpaceMan> man(new SpaceMan());
  {
    py::gil_scoped_release unlocked;
    man->load(file);
  }
  return std::make_shared<WorkspaceHandle>(std::move(man));
}

WorkspacePtr create_workspace(py::handle path, py::handle dataDir,
                              bool overwrite) {
  const std::string file = absolute(to_path(path));
  const std::string rel = to_path(dataDir);
  if (!index_format::contained_dir(rel)) {
    // The bare "invalid file name" would not say which rule it broke.
    throw ItemError(Error(Error::INVALID_FILE_NAME, rel), "",
                    "the data directory must be a relative path inside the "
                    "index file's folder, without \"..\"");
  }
  std::unique_ptr<SpaceMan> man(new SpaceMan());
  // The library makes no directory; a new workspace is ready for new_file.
  // The directory is made and synced into its parent before the index file
  // that names it is written, so that a power cut never leaves an index
  // without its data directory; one that cannot be made fails the create
  // before anything is written, and one made for a create that fails goes
  // again. Both run without the interpreter's lock.
  const std::string datadir = utils::pathadd(utils::pathname(file), rel);
  int err = 0;
  {
    py::gil_scoped_release unlocked;
    const bool made = !utils::name_taken(datadir);
    if (!utils::make_directories(datadir, false)) err = errno;
    // Without the index file's folder, the create itself says what failed
    // and where.
    if (err == 0 || !utils::file_exists(utils::pathname(file))) {
      try {
        createWorkspace(*man, file, rel, overwrite);
      } catch (...) {
        if (made && err == 0) ::rmdir(datadir.c_str());
        throw;
      }
    }
  }
  if (err != 0) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError,
                                         from_path(datadir).ptr());
    throw py::error_already_set();
  }
  return std::make_shared<WorkspaceHandle>(std::move(man));
}

void load(WorkspaceHandle& ws, py::handle path) {
  const bool again = path.is_none();
  const std::string file = again ? std::string() : absolute(to_path(path));
  Guard guard(ws);
  SpaceMan& man = ws.man();
  py::gil_scoped_release unlocked;
  man.load(again ? man.mainfile() : file);
}

void save(WorkspaceHandle& ws, py::handle path) {
  const bool elsewhere = !path.is_none();
  const std::string file = elsewhere ? absolute(to_path(path)) : "";
  Guard guard(ws);
  SpaceMan& man = ws.man();
  // Only the default workspace can lack a file; saving it would do nothing
  // and say nothing.
  if (man.mainfile().empty()) throw Error(Error::WORKSPACE_NOT_LOADED);
  py::gil_scoped_release unlocked;
  if (elsewhere) {
    man.save(file);
  } else {
    man.save();
  }
}

void revert(WorkspaceHandle& ws) {
  Guard guard(ws);
  SpaceMan& man = ws.man();
  py::gil_scoped_release unlocked;
  man.revert();
}

void close(WorkspaceHandle& ws) {
  Guard guard(ws);
  ws.close();
}

// A field of the workspace as a string, read under the lock.
std::string text_field(WorkspaceHandle& ws,
                       std::string (SpaceMan::*read)() const) {
  Guard guard(ws);
  return (ws.man().*read)();
}

std::shared_ptr<StructConfig> find(WorkspaceHandle& ws, py::handle key) {
  unsigned id = 0;
  if (!to_id(key, &id)) return nullptr;
  Guard guard(ws);
  const SpaceMan::Registry& structs = ws.man().getStructs();
  auto it = structs.find(SpaceMan::Registry::keyOf(id));
  return it == structs.end() ? nullptr : it->second;
}

RecordHandle get_record(const WorkspacePtr& ws, py::handle key) {
  std::shared_ptr<StructConfig> rec = find(*ws, key);
  if (!rec) {
    // KeyError(key), with the key itself as its argument, as a dict has.
    py::object error = py::reinterpret_borrow<py::object>(PyExc_KeyError)(key);
    PyErr_SetObject(PyExc_KeyError, error.ptr());
    throw py::error_already_set();
  }
  return RecordHandle(ws, rec);
}

RecordHandle new_record(const WorkspacePtr& ws, py::handle type,
                        bool temporary) {
  const std::string text = to_text(type, "a type");
  Guard guard(*ws);
  SpaceMan& man = ws->man();
  std::shared_ptr<StructConfig> rec =
      temporary ? man.newTempStruct() : man.newStruct();
  rec->setType(text);
  return RecordHandle(ws, rec);
}

RecordHandle copy_from(const WorkspacePtr& ws, const WorkspacePtr& source,
                       py::handle record) {
  unsigned id = 0;
  if (py::isinstance<RecordHandle>(record)) {
    const RecordHandle& h = record.cast<const RecordHandle&>();
    if (&h.workspace() != source.get()) throw Error(Error::FOREIGN_RECORD);
    id = h.id();
  } else if (!to_id(record, &id)) {
    throw Error(Error::CANNOT_FIND_ID);
  }
  Guard guard(*ws, *source);
  SpaceMan& to = ws->man();
  SpaceMan& from = source->man();
  if (py::isinstance<RecordHandle>(record)) {
    record.cast<const RecordHandle&>().live();
  }
  unsigned made = 0;
  {
    py::gil_scoped_release unlocked;
    made = to.import(&from, id);
  }
  return RecordHandle(ws, to.getStruct(made));
}

std::string describe(WorkspaceHandle& ws) {
  Guard guard(ws);
  if (ws.closed()) return "<vorla.Workspace (closed)>";
  if (ws.lostAtFork()) return "<vorla.Workspace (busy at fork)>";
  SpaceMan& man = ws.man();
  std::string text = "<vorla.Workspace ";
  if (ws.isDefault()) text += "(default) ";
  text += py::repr(from_bytes(man.mainfile())).cast<std::string>();
  return text + " " + std::to_string(man.getStructs().size()) + " records>";
}

// A record of this workspace that is still registered, or the id of one.
bool contains(WorkspaceHandle& ws, py::handle item) {
  if (py::isinstance<RecordHandle>(item)) {
    const RecordHandle& h = item.cast<const RecordHandle&>();
    if (&h.workspace() != &ws) return false;
    Guard guard(ws);
    return !ws.closed() && !ws.lostAtFork() &&
           ws.man().registered(*h.pointer());
  }
  return PyLong_Check(item.ptr()) && find(ws, item) != nullptr;
}

// Records: the mapping from ids, new records and copies.
void define_records(py::class_<WorkspaceHandle, WorkspacePtr>& cls) {
  cls.def(
         "__len__",
         [](WorkspaceHandle& ws) {
           Guard guard(ws);
           return ws.man().getStructs().size();
         },
         doc::kWorkspaceLen)
      .def("__getitem__", &get_record, py::arg("id"), doc::kWorkspaceGetItem)
      .def("__contains__", &contains, py::arg("item"), doc::kWorkspaceContains)
      .def(
          "__iter__", [](const WorkspacePtr& ws) { return RecordIterator(ws); },
          doc::kWorkspaceIter);
  cls.def(
         "new_record",
         [](const WorkspacePtr& ws, py::handle type) {
           return new_record(ws, type, false);
         },
         py::arg("type"), doc::kWorkspaceNewRecord)
      .def(
          "new_temp_record",
          [](const WorkspacePtr& ws, py::handle type) {
            return new_record(ws, type, true);
          },
          py::arg("type"), doc::kWorkspaceNewTempRecord)
      .def("copy_from", &copy_from, py::arg("source"), py::arg("record"),
           doc::kWorkspaceCopyFrom);
}

}  // namespace

void bind_workspace(py::module_& m) {
  py::class_<RecordIterator> iterator(m, "_RecordIterator");
  iterator
      .def(
          "__iter__", [](py::object self) { return self; }, doc::kIteratorIter)
      .def("__next__", &RecordIterator::next, doc::kIteratorNext);
  seal_class(iterator);
  reinterpret_cast<PyTypeObject*>(iterator.ptr())->tp_iternext = &next_record;
  PyType_Modified(reinterpret_cast<PyTypeObject*>(iterator.ptr()));

  py::class_<WorkspaceHandle, WorkspacePtr> cls(m, "Workspace",
                                                doc::kWorkspace);
  // Workspace(path) loads one: it is made whole by one call, never left
  // half made between __new__ and __init__.
  seal_class(cls, py::cpp_function(&open_workspace, py::arg("path")));
  cls.def_static("create", &create_workspace, py::arg("path"),
                 py::arg("data_dir") = "data", py::kw_only(),
                 py::arg("overwrite") = false, doc::kWorkspaceCreate)
      .def("load", &load, py::arg("path") = py::none(), doc::kWorkspaceLoad)
      .def("save", &save, py::arg("path") = py::none(), doc::kWorkspaceSave)
      .def("_revert", &revert)
      .def("to_dict", &workspace_to_dict, doc::kWorkspaceToDict)
      .def("close", &close, doc::kWorkspaceClose)
      .def_property_readonly("closed", &WorkspaceHandle::closed,
                             doc::kWorkspaceClosed)
      .def(
          "__enter__", [](py::object self) { return self; },
          doc::kWorkspaceEnter)
      .def(
          "__exit__", [](WorkspaceHandle& ws, py::args) { close(ws); },
          doc::kWorkspaceExit)
      .def("__repr__", &describe, doc::kWorkspaceRepr);
  cls.def_property_readonly(
         "path",
         [](WorkspaceHandle& ws) {
           return from_path(text_field(ws, &SpaceMan::mainfile));
         },
         doc::kWorkspacePath)
      .def_property_readonly(
          "data_dir",
          [](WorkspaceHandle& ws) {
            return from_path(text_field(ws, &SpaceMan::getDatadir));
          },
          doc::kWorkspaceDataDir)
      .def_property_readonly(
          "counter",
          [](WorkspaceHandle& ws) {
            Guard guard(ws);
            return ws.man().getCounter();
          },
          doc::kWorkspaceCounter);
  define_records(cls);

  m.def(
      "default_workspace", []() { return WorkspaceHandle::defaultHandle(); },
      doc::kDefaultWorkspace);
}

}  // namespace python
}  // namespace vorla
