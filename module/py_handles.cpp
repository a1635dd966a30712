// SPDX-License-Identifier: MIT
#include "module/py_handles.h"

#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_set>
#include <utility>

#include "workspace/error.h"

#include <pthread.h>  // pthread_atfork
#include <pybind11/pybind11.h>

namespace vorla {
namespace python {

namespace {

// Every live handle, for the fork handlers. Never destroyed: handles may
// live until the interpreter's very end.
struct Handles {
  std::mutex mu;
  std::unordered_set<WorkspaceHandle*> all;

  static Handles& get() {
    static Handles* handles = make();
    return *handles;
  }

 private:
  static Handles* make();
};

// The forking thread takes the list's mutex, so that the child's copy of
// the list is whole.
void before_fork() { Handles::get().mu.lock(); }
void after_fork_parent() { Handles::get().mu.unlock(); }

Handles* Handles::make() {
  Handles* handles = new Handles;
  ::pthread_atfork(before_fork, after_fork_parent, after_fork_child);
  return handles;
}

// Lets a workspace go without destroying it.
void leak(std::unique_ptr<SpaceMan> man) {
  SpaceMan* kept = man.release();
  static_cast<void>(kept);
}

}  // namespace

void after_fork_child() {
  Handles& h = Handles::get();
  for (WorkspaceHandle* ws : h.all) {
    // Only the forking thread is left, and it holds no workspace's lock: a
    // lock that is taken was held by a thread that is gone.
    if (ws->lock.try_lock()) {
      ws->lock.unlock();
      continue;
    }
    ws->lost = true;
    new (&ws->lock) std::mutex();
  }
  h.mu.unlock();
}

WorkspaceHandle::WorkspaceHandle(std::unique_ptr<SpaceMan> owned_)
    : owned(std::move(owned_)), space(owned.get()) {
  enlist();
}

WorkspaceHandle::WorkspaceHandle() : space(SpaceMan::getinst()) { enlist(); }

WorkspaceHandle::~WorkspaceHandle() {
  Handles& h = Handles::get();
  {
    std::lock_guard<std::mutex> guard(h.mu);
    h.all.erase(this);
  }
  // Its state is that of an operation cut short: never destroyed.
  if (lost) leak(std::move(owned));
}

void WorkspaceHandle::enlist() {
  Handles& h = Handles::get();
  std::lock_guard<std::mutex> guard(h.mu);
  h.all.insert(this);
}

std::shared_ptr<WorkspaceHandle> WorkspaceHandle::defaultHandle() {
  // Made under the interpreter's lock, so once. Never destroyed: Python
  // objects may hold it until the interpreter's very end.
  static std::shared_ptr<WorkspaceHandle>* handle =
      new std::shared_ptr<WorkspaceHandle>(new WorkspaceHandle());
  return *handle;
}

SpaceMan& WorkspaceHandle::man() {
  if (space == nullptr) throw Error(Error::WORKSPACE_CLOSED);
  if (lost) throw Error(Error::BUSY_AT_FORK);
  return *space;
}

void WorkspaceHandle::close() {
  if (owned == nullptr) return;
  space = nullptr;
  if (lost) {
    leak(std::move(owned));
    return;
  }
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
  if (!ws->man().registered(*rec)) throw Error(Error::FOREIGN_RECORD);
  return *rec;
}

}  // namespace python
}  // namespace vorla
