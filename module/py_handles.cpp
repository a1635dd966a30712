#include "module/py_handles.h"

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "workspace/error.h"

#include <pybind11/pybind11.h>

namespace vorla {
namespace python {

WorkspaceHandle::WorkspaceHandle(std::unique_ptr<SpaceMan> owned_)
    : owned(std::move(owned_)), space(owned.get()) {}

WorkspaceHandle::WorkspaceHandle() : space(SpaceMan::getinst()) {}

std::shared_ptr<WorkspaceHandle> WorkspaceHandle::defaultHandle() {
  // Made under the interpreter's lock, so once. Never destroyed: Python
  // objects may hold it until the interpreter's very end.
  static std::shared_ptr<WorkspaceHandle>* handle =
      new std::shared_ptr<WorkspaceHandle>(new WorkspaceHandle());
  return *handle;
}

SpaceMan& WorkspaceHandle::man() {
  if (space == nullptr) throw Error(Error::WORKSPACE_CLOSED);
  return *space;
}

void WorkspaceHandle::close() {
  if (owned == nullptr) return;
  space = nullptr;
  owned.reset();
}

Guard::Guard(WorkspaceHandle& ws) : low(&ws.lock), high(nullptr) { take(*low); }

Guard::Guard(WorkspaceHandle& first, WorkspaceHandle& second)
    : low(&first.lock), high(&second.lock) {
  if (low == high) {
    high = nullptr;
  } else if (std::less<std::mutex*>()(high, low)) {
    std::swap(low, high);
  }
  take(*low);
  if (high != nullptr) take(*high);
}

Guard::~Guard() {
  if (high != nullptr) high->unlock();
  low->unlock();
}

void Guard::take(std::mutex& m) {
  if (m.try_lock()) return;
  pybind11::gil_scoped_release unlocked;
  m.lock();
}

RecordHandle::RecordHandle(std::shared_ptr<WorkspaceHandle> ws_,
                           std::shared_ptr<StructConfig> rec_)
    : ws(std::move(ws_)), rec(std::move(rec_)), recid(rec->getId()) {}

StructConfig& RecordHandle::live() const {
  if (!is_registered(ws->man(), *rec)) throw Error(Error::FOREIGN_RECORD);
  return *rec;
}

bool is_registered(const SpaceMan& man, const StructConfig& rec) {
  const SpaceMan::Registry& structs = man.getStructs();
  SpaceMan::Registry::const_iterator it =
      structs.find(SpaceMan::Registry::keyOf(rec.getId()));
  return it != structs.end() && it->second.get() == &rec;
}

}  // namespace python
}  // namespace vorla
