// SPDX-License-Identifier: MIT
// The registry of a workspace's records (SpaceMan::Registry): the records
// by id, as shared pointers, in ascending order of id. A workspace owns its
// records through it; see workspace/workspace.h.

#ifndef VORLA_WORKSPACE_REGISTRY_H_
#define VORLA_WORKSPACE_REGISTRY_H_

#include <cstddef>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

namespace vorla {

class SpaceMan;
class StructConfig;
namespace index_format {
class Reader;
}

// The records of a workspace by id, in ascending order of the signed key
// (ascending id order for ids below 2^31). Reads like an ordered map of
// (int, shared pointer) pairs. It is a sorted vector: 24 bytes a record
// instead of a tree node's 64, and lookups are binary searches. A removal
// leaves a hole that lookups and iteration pass over; holes are squeezed
// out once they make up half the vector, so removals stay cheap.
class RecordRegistry {
 public:
  typedef std::pair<int, std::shared_ptr<StructConfig> > value_type;
  typedef std::vector<value_type> Entries;

  class const_iterator {
   public:
    typedef std::forward_iterator_tag iterator_category;
    typedef RecordRegistry::value_type value_type;
    typedef std::ptrdiff_t difference_type;
    typedef const value_type* pointer;
    typedef const value_type& reference;

    const_iterator() : entries(nullptr), pos(0) {}
    reference operator*() const { return (*entries)[pos]; }
    pointer operator->() const { return &(*entries)[pos]; }
    const_iterator& operator++() {
      ++pos;
      while (pos < entries->size() && !(*entries)[pos].second) ++pos;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const const_iterator& o) const { return pos == o.pos; }
    bool operator!=(const const_iterator& o) const { return pos != o.pos; }

   private:
    friend class RecordRegistry;
    const_iterator(const Entries* e, size_t p) : entries(e), pos(p) {}
    const Entries* entries;
    size_t pos;
  };
  typedef const_iterator iterator;

  RecordRegistry() : holes(0) {}

  // The key of record `id`: its id as a signed number.
  static int keyOf(unsigned id) { return static_cast<int>(id); }

  const_iterator begin() const {
    size_t pos = 0;
    while (pos < entries.size() && !entries[pos].second) ++pos;
    return const_iterator(&entries, pos);
  }
  const_iterator end() const {
    return const_iterator(&entries, entries.size());
  }
  const_iterator find(int key) const;
  size_t count(int key) const { return find(key) != end() ? 1 : 0; }
  size_t size() const { return entries.size() - holes; }
  bool empty() const { return size() == 0; }

  // Registers `rec` under `key`, which must be free.
  void insert(int key, std::shared_ptr<StructConfig> rec);
  void erase(const_iterator it);
  void clear() {
    entries.clear();
    holes = 0;
  }
  void swap(RecordRegistry& other) {
    entries.swap(other.entries);
    std::swap(holes, other.holes);
  }

 private:
  friend class SpaceMan;
  friend class index_format::Reader;
  Entries entries;
  size_t holes;
};

}  // namespace vorla

#endif  // VORLA_WORKSPACE_REGISTRY_H_
