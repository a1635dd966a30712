// SPDX-License-Identifier: MIT
// What the Python package `vorla` holds: a handle on one workspace, with
// the lock that serialises the Python threads using it, and a handle on one
// record of it.
//
// Thread safety: the library wants one thread at a time per workspace.
// Every operation of the package takes the workspace's lock first (two, in
// address order, for a copy between workspaces) and gives it back before it
// returns; load, save and copies let go of the interpreter's lock while
// they run, so other Python threads go on meanwhile, but none of them can
// reach that workspace until they end. No Python code runs while a
// workspace's lock is held: values are converted before it is taken and
// results built after it is given back, so a finalizer that the garbage
// collector runs can never re-enter a workspace in the middle of an
// operation. Native code that uses the default workspace from other threads
// must serialise itself with Python.
//
// Fork: a child made by fork has only the thread that forked, never inside
// an operation of the package (no Python code runs under a workspace's
// lock). A workspace whose lock another thread held at that moment is in
// the middle of an operation in the child's copy: the child makes its lock
// anew, refuses every use of it ("workspace busy at fork") and never
// destroys it, so nothing waits for the thread that is gone or touches the
// half-done state. Every other workspace works in the child as it did,
// with the writer lock taken afresh (workspace/writer_lock.h).

#ifndef VORLA_MODULE_PY_HANDLES_H_
#define VORLA_MODULE_PY_HANDLES_H_

#include <memory>
#include <mutex>
#include <string>

#include "workspace/workspace.h"

namespace vorla {
namespace python {

// One workspace as Python sees it: one it owns, or the process-wide default
// workspace, which it never destroys. close() destroys an owned workspace
// at once (giving its writer lock back), whoever still holds a handle.
class WorkspaceHandle {
 public:
  explicit WorkspaceHandle(std::unique_ptr<SpaceMan> owned);
  ~WorkspaceHandle();
  // The handle on the default workspace, the same one on every call.
  static std::shared_ptr<WorkspaceHandle> defaultHandle();

  WorkspaceHandle(const WorkspaceHandle&) = delete;
  WorkspaceHandle& operator=(const WorkspaceHandle&) = delete;

  // The workspace; throws "workspace closed" once close() was called, and
  // "workspace busy at fork" in a child made by fork while another thread
  // used it. REQUIRES: the caller holds the lock (a Guard).
  SpaceMan& man();
  // Destroys an owned workspace unsaved; nothing for the default one.
  // REQUIRES: the caller holds the lock.
  void close();
  bool closed() const { return space == nullptr; }
  bool lostAtFork() const { return lost; }
  bool isDefault() const { return owned == nullptr && space != nullptr; }

 private:
  friend class Guard;
  friend void after_fork_child();
  WorkspaceHandle();
  // Lists the handle among those that the fork handlers look at.
  void enlist();

  std::unique_ptr<SpaceMan> owned;
  SpaceMan* space;  // the workspace; null once closed
  std::mutex lock;
  // Set in a child made by fork while another thread held `lock`.
  bool lost = false;
};

// In a child made by fork: makes the locks of the workspaces that other
// threads held anew and marks those workspaces lost. Run by pthread_atfork.
void after_fork_child();

// Holds the lock of one workspace, or of two (in address order, once when
// both are the same). Waits for it without the interpreter's lock, so that
// the thread that holds it can take the interpreter's lock back and finish.
// REQUIRES: the interpreter's lock is held when a Guard is made.
class Guard {
 public:
  explicit Guard(WorkspaceHandle& ws);
  Guard(WorkspaceHandle& first, WorkspaceHandle& second);
  ~Guard();

  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  static void take(std::mutex& m);
  std::mutex* low;
  std::mutex* high;  // null when only one lock is held
};

// One record of a workspace as Python sees it. It keeps the workspace
// alive, but refuses every operation once the workspace is closed
// ("workspace closed") or the record is no longer the one registered under
// its id, because the workspace was reloaded or the record erased
// ("foreign record").
class RecordHandle {
 public:
  RecordHandle(std::shared_ptr<WorkspaceHandle> ws,
               std::shared_ptr<StructConfig> rec);

  // The record, checked as above. REQUIRES: the caller holds the lock.
  StructConfig& live() const;
  WorkspaceHandle& workspace() const { return *ws; }
  const std::shared_ptr<WorkspaceHandle>& workspacePtr() const { return ws; }
  // The record's id and the record itself, whether live or not: readable
  // without the lock, as neither changes.
  unsigned id() const { return recid; }
  const std::shared_ptr<StructConfig>& pointer() const { return rec; }

 private:
  std::shared_ptr<WorkspaceHandle> ws;
  std::shared_ptr<StructConfig> rec;
  unsigned recid;
};

}  // namespace python
}  // namespace vorla

#endif  // VORLA_MODULE_PY_HANDLES_H_
