// SPDX-License-Identifier: MIT
// The Record class of the package `vorla`: one record's attributes and its
// items, the compiled half of its mapping. What is derived from these calls
// alone (pop, update, the views, equality) is written in Python, in
// vorla/__init__.py; what every read of an item goes through is here.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "module/py_bind.h"
#include "module/py_convert.h"
#include "module/py_handles.h"
#include "utils/file_utils.h"
#include "workspace/error.h"

#include <pybind11/pybind11.h>

namespace vorla {
namespace python {

namespace {

using Item = StructConfig::Item;

// An item copied out under the workspace's lock, with what its value needs
// from the workspace: the record a child item names, a file item's data
// directory.
struct ItemValue {
  std::string name;
  Item item;
  std::shared_ptr<StructConfig> child;
  std::string datadir;
};

ItemValue read_item(SpaceMan& man, const std::string& name, const Item& item) {
  ItemValue v{name, item, nullptr, std::string()};
  if (item.type == StructConfig::ITEM_CHILD) {
    v.child = man.getStruct(static_cast<unsigned>(item.value));
  } else if (item.type == StructConfig::ITEM_FILE) {
    v.datadir = man.getDatadir();
  }
  return v;
}

// KeyError(key), with the key itself as its argument, as a dict raises it.
[[noreturn]] void raise_key_error(py::handle key) {
  py::object error = py::reinterpret_borrow<py::object>(PyExc_KeyError)(key);
  PyErr_SetObject(PyExc_KeyError, error.ptr());
  throw py::error_already_set();
}

// What an item of each type reads as, for the messages of the typed reads.
const char* kind_of(StructConfig::DataItemType type) {
  switch (type) {
    case StructConfig::ITEM_UINT64:
      return "a number";
    case StructConfig::ITEM_STR:
      return "a text";
    case StructConfig::ITEM_FILE:
      return "a file";
    case StructConfig::ITEM_CHILD:
      return "a child record";
    case StructConfig::ITEM_EXTCHILD:
      return "an extchild";
    default:
      return "of no type";
  }
}

// Built once the lock is given back.
py::object to_python(const RecordHandle& owner, const ItemValue& v) {
  switch (v.item.type) {
    case StructConfig::ITEM_UINT64:
      return py::int_(static_cast<unsigned long long>(v.item.value));
    case StructConfig::ITEM_STR:
      return from_bytes(v.item.str);
    case StructConfig::ITEM_FILE:
      return data_file_path(v.datadir, v.item.str);
    case StructConfig::ITEM_CHILD:
      return py::cast(RecordHandle(owner.workspacePtr(), v.child));
    case StructConfig::ITEM_EXTCHILD:
      return py::make_tuple(static_cast<uint32_t>(v.item.value),
                            from_bytes(v.item.str));
    default:
      return py::none();
  }
}

// Every item, in name order.
std::vector<ItemValue> read_items(const RecordHandle& h) {
  Guard guard(h.workspace());
  StructConfig& rec = h.live();
  std::vector<ItemValue> out;
  out.reserve(rec.items.size());
  for (const auto& entry : rec.items) {
    out.push_back(read_item(h.workspace().man(), entry.first, entry.second));
  }
  return out;
}

// The item `key`; KeyError(key) when there is none.
ItemValue find_item(const RecordHandle& h, py::handle key) {
  const std::string name = to_bytes(key, "an item name");
  bool found = false;
  ItemValue v;
  {
    Guard guard(h.workspace());
    StructConfig& rec = h.live();
    StructConfig::ItemMap::const_iterator it = rec.items.find(name);
    found = it != rec.items.end();
    if (found) v = read_item(h.workspace().man(), name, it->second);
  }
  if (!found) raise_key_error(key);
  return v;
}

py::object get_item(const RecordHandle& h, py::handle key) {
  return to_python(h, find_item(h, key));
}

// The item `key` when it has the type `type`; TypeError naming both types
// when it has another.
py::object get_typed(const RecordHandle& h, py::handle key,
                     StructConfig::DataItemType type) {
  const ItemValue v = find_item(h, key);
  if (v.item.type != type) {
    throw py::type_error("item " + py::repr(key).cast<std::string>() + " is " +
                         kind_of(v.item.type) + ", not " + kind_of(type));
  }
  return to_python(h, v);
}

py::bytes get_bytes(const RecordHandle& h, py::handle key) {
  const ItemValue v = find_item(h, key);
  if (v.item.type != StructConfig::ITEM_STR) {
    throw py::type_error("item " + py::repr(key).cast<std::string>() + " is " +
                         kind_of(v.item.type) + ", not a text");
  }
  return py::bytes(v.item.str);
}

void del_item(const RecordHandle& h, py::handle key) {
  const std::string name = to_bytes(key, "an item name");
  bool found = false;
  {
    Guard guard(h.workspace());
    StructConfig& rec = h.live();
    found = rec.items.count(name) != 0;
    if (found) about_item(name, [&] { rec.eraseItem(name); });
  }
  if (!found) raise_key_error(key);
}

bool has_item(const RecordHandle& h, py::handle key) {
  if (!PyBytes_Check(key.ptr()) && !PyUnicode_Check(key.ptr())) return false;
  const std::string name = to_bytes(key, "an item name");
  Guard guard(h.workspace());
  return h.live().items.count(name) != 0;
}

void link(const RecordHandle& h, py::handle key, const RecordHandle& other) {
  const std::string name = to_bytes(key, "an item name");
  Guard guard(h.workspace());
  StructConfig& rec = h.live();
  about_item(name, [&] { rec.replaceChild(name, other.pointer()); });
}

void set_item(RecordHandle& h, py::handle key, py::handle value) {
  const std::string name = to_bytes(key, "an item name");
  if (py::isinstance<RecordHandle>(value)) {
    link(h, key, value.cast<const RecordHandle&>());
  } else if (PyLong_Check(value.ptr())) {
    const uint64_t number = to_number(value);
    Guard guard(h.workspace());
    StructConfig& rec = h.live();
    about_item(name, [&] { rec.addUInt64(name, number); });
  } else if (PyBytes_Check(value.ptr()) || PyUnicode_Check(value.ptr())) {
    const std::string text =
        about_item(name, [&] { return to_text(value, "a text"); });
    Guard guard(h.workspace());
    StructConfig& rec = h.live();
    about_item(name, [&] { rec.addStr(name, text); });
  } else {
    throw py::type_error(std::string("an item value must be int, str, bytes "
                                     "or Record, not ") +
                         Py_TYPE(value.ptr())->tp_name);
  }
}

py::list names(const RecordHandle& h) {
  std::vector<std::string> out;
  {
    Guard guard(h.workspace());
    for (const auto& entry : h.live().items) out.push_back(entry.first);
  }
  py::list list;
  for (const std::string& name : out) list.append(from_bytes(name));
  return list;
}

py::list values(const RecordHandle& h, bool withNames) {
  const std::vector<ItemValue> items = read_items(h);
  py::list list;
  for (const ItemValue& v : items) {
    if (withNames) {
      list.append(py::make_tuple(from_bytes(v.name), to_python(h, v)));
    } else {
      list.append(to_python(h, v));
    }
  }
  return list;
}

// A field of the record, read under the lock.
template <typename T>
T field(const RecordHandle& h, const std::function<T(StructConfig&)>& read) {
  Guard guard(h.workspace());
  return read(h.live());
}

py::object new_file(const RecordHandle& h, py::handle key, py::handle prefix) {
  const std::string name = to_bytes(key, "an item name");
  const bool prefixed = !prefix.is_none();
  const std::string pre = prefixed ? to_bytes(prefix, "a prefix") : "";
  std::string path;
  {
    Guard guard(h.workspace());
    StructConfig& rec = h.live();
    path = about_item(name, [&] {
      return prefixed ? rec.newFile(name, pre) : rec.newFile(name);
    });
  }
  return from_path(path);
}

RecordHandle new_child(const RecordHandle& h, py::handle key, py::handle type) {
  const std::string name = to_bytes(key, "an item name");
  const bool typed = !type.is_none();
  const std::string text = typed ? to_text(type, "a type") : "";
  Guard guard(h.workspace());
  StructConfig& rec = h.live();
  std::shared_ptr<StructConfig> child =
      about_item(name, [&] { return rec.newChildStruct(name); });
  if (typed) {
    try {
      child->setType(text);
    } catch (const Error&) {
      rec.eraseItem(name);  // the child goes with its item
      throw;
    }
  }
  return RecordHandle(h.workspacePtr(), child);
}

void release(const RecordHandle& h) {
  Guard guard(h.workspace());
  h.live();
  // Record 0 holds the workspace's own items and is never released; saying
  // nothing would let a program believe it was.
  if (h.id() == 0) throw Error(Error::SYSTEM_RECORD);
  h.workspace().man().unlinkStruct(h.id());
}

std::string describe(const RecordHandle& h) {
  std::string type;
  bool alive = false;
  {
    Guard guard(h.workspace());
    WorkspaceHandle& ws = h.workspace();
    alive =
        !ws.closed() && !ws.lostAtFork() && ws.man().registered(*h.pointer());
    if (alive) type = h.pointer()->getType();
  }
  std::string text = "<vorla.Record " + std::to_string(h.id());
  if (!alive) return text + " (gone)>";
  return text + " " + py::repr(from_bytes(type)).cast<std::string>() + ">";
}

void define_attributes(py::class_<RecordHandle>& cls) {
  cls.def_property_readonly("id", &RecordHandle::id, doc::kRecordId)
      .def_property(
          "type",
          [](const RecordHandle& h) {
            return from_bytes(field<std::string>(
                h, [](StructConfig& r) { return r.getType(); }));
          },
          [](const RecordHandle& h, py::handle type) {
            const std::string text = to_text(type, "a type");
            Guard guard(h.workspace());
            h.live().setType(text);
          },
          doc::kRecordType)
      .def_property_readonly(
          "ext_refs",
          [](const RecordHandle& h) {
            return field<unsigned>(
                h, [](StructConfig& r) { return r.extrefcount; });
          },
          doc::kRecordExtRefs)
      .def_property_readonly(
          "int_refs",
          [](const RecordHandle& h) {
            return field<unsigned>(
                h, [](StructConfig& r) { return r.intrefcount; });
          },
          doc::kRecordIntRefs)
      .def_property_readonly(
          "temporary",
          [](const RecordHandle& h) {
            return field<bool>(h, [](StructConfig& r) { return r.temporary; });
          },
          doc::kRecordTemporary)
      .def_property_readonly("workspace", &RecordHandle::workspacePtr,
                             doc::kRecordWorkspace);
}

}  // namespace

// The raw entry points of what every read of an item goes through, as
// Python slots and method descriptors: pybind11's dispatcher would cost
// more than the read itself. Each converts a C++ exception as pybind11
// does.
namespace fast {

const RecordHandle& self_of(PyObject* self) {
  return py::handle(self).cast<const RecordHandle&>();
}

template <typename F>
PyObject* run(F&& f) {
  try {
    return f().release().ptr();
  } catch (...) {
    set_python_error();
    return nullptr;
  }
}

PyObject* subscript(PyObject* self, PyObject* key) {
  return run([&] { return get_item(self_of(self), key); });
}

int contains(PyObject* self, PyObject* key) {
  try {
    return has_item(self_of(self), key) ? 1 : 0;
  } catch (...) {
    set_python_error();
    return -1;
  }
}

size_t count(const RecordHandle& h) {
  return field<size_t>(h,
                       [](StructConfig& r) { return size_t(r.items.size()); });
}

Py_ssize_t length(PyObject* self) {
  try {
    return static_cast<Py_ssize_t>(count(self_of(self)));
  } catch (...) {
    set_python_error();
    return -1;
  }
}

PyObject* iter(PyObject* self) {
  return run([&] { return names(self_of(self)).attr("__iter__")(); });
}

template <StructConfig::DataItemType type>
PyObject* get_typed_item(PyObject* self, PyObject* key) {
  return run([&] { return get_typed(self_of(self), key, type); });
}

PyObject* get_bytes_item(PyObject* self, PyObject* key) {
  return run([&] { return py::object(get_bytes(self_of(self), key)); });
}

PyObject* list_keys(PyObject* self, PyObject*) {
  return run([&] { return py::object(names(self_of(self))); });
}

template <bool withNames>
PyObject* list_values(PyObject* self, PyObject*) {
  return run([&] { return py::object(values(self_of(self), withNames)); });
}

// The view classes of vorla/__init__.py (keys, values, items), set once
// by _set_views, and the offset of their _mapping slot.
// Never destroyed: the interpreter may end first.
PyObject* view_classes[3];
Py_ssize_t mapping_at = -1;

// A view of `self`: made directly, as MappingView.__init__ would only put
// the record into its slot. The record is checked now, so that one that
// is gone raises at keys() as at every other use.
template <int which>
PyObject* view(PyObject* self, PyObject*) {
  return run([&] {
    count(self_of(self));
    if (mapping_at < 0) throw py::type_error("the package is not set up");
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(view_classes[which]);
    py::object made =
        py::reinterpret_steal<py::object>(type->tp_alloc(type, 0));
    if (!made) throw py::error_already_set();
    set_slot(made.ptr(), mapping_at, self);
    return made;
  });
}

PyMethodDef methods[] = {
    {"get_int",
     reinterpret_cast<PyCFunction>(&get_typed_item<StructConfig::ITEM_UINT64>),
     METH_O, doc::kRecordGetInt},
    {"get_str",
     reinterpret_cast<PyCFunction>(&get_typed_item<StructConfig::ITEM_STR>),
     METH_O, doc::kRecordGetStr},
    {"get_bytes", reinterpret_cast<PyCFunction>(&get_bytes_item), METH_O,
     doc::kRecordGetBytes},
    {"get_path",
     reinterpret_cast<PyCFunction>(&get_typed_item<StructConfig::ITEM_FILE>),
     METH_O, doc::kRecordGetPath},
    {"get_record",
     reinterpret_cast<PyCFunction>(&get_typed_item<StructConfig::ITEM_CHILD>),
     METH_O, doc::kRecordGetRecord},
    {"keys", reinterpret_cast<PyCFunction>(&view<0>), METH_NOARGS,
     doc::kRecordKeys},
    {"values", reinterpret_cast<PyCFunction>(&view<1>), METH_NOARGS,
     doc::kRecordValues},
    {"items", reinterpret_cast<PyCFunction>(&view<2>), METH_NOARGS,
     doc::kRecordItems},
    {"_keys", reinterpret_cast<PyCFunction>(&list_keys), METH_NOARGS, nullptr},
    {"_values", reinterpret_cast<PyCFunction>(&list_values<false>), METH_NOARGS,
     nullptr},
    {"_items", reinterpret_cast<PyCFunction>(&list_values<true>), METH_NOARGS,
     nullptr},
};

void install(py::handle cls) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  for (PyMethodDef& def : methods) {
    py::object descr =
        py::reinterpret_steal<py::object>(PyDescr_NewMethod(type, &def));
    if (!descr) throw py::error_already_set();
    cls.attr(def.ml_name) = descr;
  }
  // After every attribute is set: setting one makes its slot anew.
  type->tp_as_mapping->mp_subscript = &subscript;
  type->tp_as_mapping->mp_length = &length;
  type->tp_as_sequence->sq_length = &length;
  type->tp_as_sequence->sq_contains = &contains;
  type->tp_iter = &iter;
  PyType_Modified(type);
}

}  // namespace fast

void bind_record(py::module_& m) {
  py::class_<RecordHandle> cls(m, "Record", doc::kRecord);
  seal_class(cls);
  define_attributes(cls);
  cls.def("__getitem__", &get_item, py::arg("name"), doc::kRecordGetItem)
      .def("__setitem__", &set_item, py::arg("name"), py::arg("value"),
           doc::kRecordSetItem)
      .def("__delitem__", &del_item, py::arg("name"), doc::kRecordDelItem)
      .def("__contains__", &has_item, py::arg("name"), doc::kRecordContains)
      .def(
          "__len__",
          [](const RecordHandle& h) {
            return field<size_t>(
                h, [](StructConfig& r) { return size_t(r.items.size()); });
          },
          doc::kRecordLen)
      .def(
          "__iter__",
          [](const RecordHandle& h) { return names(h).attr("__iter__")(); },
          doc::kRecordIter)
      .def(
          "get",
          [](const RecordHandle& h, py::handle key, py::object fallback) {
            return has_item(h, key) ? get_item(h, key) : fallback;
          },
          py::arg("name"), py::arg("default") = py::none(), doc::kRecordGet);
  cls.def("new_file", &new_file, py::arg("name"),
          py::arg("prefix") = py::none(), doc::kRecordNewFile)
      .def("new_child", &new_child, py::arg("name"),
           py::arg("type") = py::none(), doc::kRecordNewChild)
      .def("link", &link, py::arg("name"), py::arg("other"), doc::kRecordLink)
      .def("release", &release, doc::kRecordRelease)
      .def("to_dict", &record_to_dict, doc::kRecordToDict)
      .def("_same",
           [](const RecordHandle& h, py::handle other) {
             return py::isinstance<RecordHandle>(other) &&
                    other.cast<const RecordHandle&>().pointer() == h.pointer();
           })
      .def(
          "__hash__",
          [](const RecordHandle& h) {
            return std::hash<const void*>()(h.pointer().get());
          },
          doc::kRecordHash)
      .def("__repr__", &describe, doc::kRecordRepr);
  m.def("_set_views", [](py::object keys, py::object values, py::object items) {
    fast::view_classes[0] = keys.release().ptr();
    fast::view_classes[1] = values.inc_ref().ptr();
    fast::view_classes[2] = items.inc_ref().ptr();
    fast::mapping_at = slot_offset(fast::view_classes[0], "_mapping");
    for (const py::object& view : {values, items}) {
      if (slot_offset(view, "_mapping") != fast::mapping_at)
        fast::mapping_at = -1;
    }
  });
  fast::install(cls);
}

}  // namespace python
}  // namespace vorla
