// SPDX-License-Identifier: MIT
// Exclusive lock slots between processes, kept as open-file-description
// locks on a directory.
//
// A slot is a byte range of a directory, so that many files of one folder
// can each have a lock of their own without any file being created. The
// kernel lets only read locks be placed on a directory (a write lock needs a
// descriptor open for writing), so a slot is taken in two steps: place a
// read lock on the slot's first byte, then ask the kernel whether another
// open file description holds one there too. Of two processes that try at
// once, at least one sees the other and steps back, so no two ever hold a
// slot; both may step back, and then both try again. The holder also places
// a read lock on the byte that lies its process id past the slot's first
// byte, so that others can learn who holds it.
//
// Open-file-description locks belong to the descriptor, not to the process:
// two descriptors of one process conflict like two processes do, closing
// another descriptor of the same directory releases nothing, a child made by
// fork shares its parent's locks, and the kernel drops them when the last
// descriptor of the description is closed, at the latest when the process
// ends. On a network file system, locks on a directory order the processes
// of one machine only.

#ifndef VORLA_UTILS_FILE_LOCK_H_
#define VORLA_UTILS_FILE_LOCK_H_

#include <cstdint>
#include <string>

#include "utils/posix_file.h"

namespace utils {

// The offset of the lock slot of the file named `name` in its directory: a
// fixed 64-bit hash of the name's bytes (FNV-1a) cut to 40 bits, times 2^23,
// so that each slot has room for every process id after its first byte.
// Every process computes the same slot for the same name.
uint64_t slot_of(const std::string& name);

enum class SlotTry {
  TAKEN,      // the slot is now held through `fd`
  HELD,       // another description holds it; `holder` names its process
  CONTENDED,  // another description holds it or is trying at the same
              // moment, and no process id is placed: try again shortly
  FAILED      // a lock call failed; errno says why
};

// Tries once to take the slot at `slot` through the directory descriptor
// `fd`, which must hold no lock at that slot yet. On HELD, `holder` is the
// holder's process id as its own namespace sees it. Nothing is left locked
// unless the slot was taken.
SlotTry try_slot(int fd, uint64_t slot, long* holder);

// The process id of the holder of the slot as seen through `fd` (any
// descriptor that holds no lock there): 0 when nobody has placed one, -1
// when the kernel cannot be asked.
long slot_holder(int fd, uint64_t slot);

}  // namespace utils

#endif  // VORLA_UTILS_FILE_LOCK_H_
