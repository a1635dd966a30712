// SPDX-License-Identifier: MIT
// SharedVar, the value behind a workspace's id counter.

#ifndef VORLA_WORKSPACE_SHARED_VAR_H_
#define VORLA_WORKSPACE_SHARED_VAR_H_

#include <boost/thread/locks.hpp>
#include <boost/thread/shared_mutex.hpp>

namespace vorla {

// A value guarded by a reader/writer lock. Copying or assigning copies the
// value only; every object keeps its own lock.
template <typename T>
class SharedVar {
 public:
  SharedVar() : value() {}
  explicit SharedVar(const T& v) : value(v) {}
  SharedVar(const SharedVar& other) : value(other.get()) {}

  SharedVar& operator=(const SharedVar& other) {
    set(other.get());
    return *this;
  }

  T get() const {
    boost::shared_lock<boost::shared_mutex> guard(lock);
    return value;
  }

  void set(const T& v) {
    boost::unique_lock<boost::shared_mutex> guard(lock);
    value = v;
  }

  // Raises the value by one and returns the raised value, atomically: two
  // concurrent calls never return the same value.
  T inc() {
    boost::unique_lock<boost::shared_mutex> guard(lock);
    return ++value;
  }

 private:
  T value;
  mutable boost::shared_mutex lock;
};

}  // namespace vorla

#endif  // VORLA_WORKSPACE_SHARED_VAR_H_
