// SPDX-License-Identifier: MIT
#include "utils/file_lock.h"

#include <fcntl.h>  // open, fcntl, F_OFD_SETLK
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "utils/posix_file.h"

namespace utils {

namespace {

static_assert(sizeof(off_t) == 8, "lock slots need 64-bit file offsets");

// Room after a slot's first byte for every process id (PID_MAX_LIMIT).
const uint64_t kSlotSpan = uint64_t(1) << 23;
const long kMaxPid = (1L << 22) - 1;

struct flock range(short type, uint64_t start, uint64_t len) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(start);
  fl.l_len = static_cast<off_t>(len);
  return fl;
}

bool set_lock(int fd, short type, uint64_t start) {
  struct flock fl = range(type, start, 1);
  return retry_eintr([&] { return ::fcntl(fd, F_OFD_SETLK, &fl); }) == 0;
}

// Whether a description other than `fd`'s holds a lock in the range; the
// lock found is written to `found`. -1 when the kernel cannot be asked.
int conflict(int fd, uint64_t start, uint64_t len, struct flock* found) {
  *found = range(F_WRLCK, start, len);
  if (::fcntl(fd, F_OFD_GETLK, found) != 0) return -1;
  return found->l_type == F_UNLCK ? 0 : 1;
}

}  // namespace

uint64_t slot_of(const std::string& name) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : name) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return (h >> 24) * kSlotSpan;
}

long slot_holder(int fd, uint64_t slot) {
  struct flock found;
  const int c = conflict(fd, slot + 1, kSlotSpan - 1, &found);
  if (c < 0) return -1;
  if (c == 0) return 0;
  return static_cast<long>(static_cast<uint64_t>(found.l_start) - slot - 1);
}

SlotTry try_slot(int fd, uint64_t slot, long* holder) {
  *holder = 0;
  // A read lock never waits: nobody can place a write lock on a directory.
  if (!set_lock(fd, F_RDLCK, slot)) return SlotTry::FAILED;
  struct flock found;
  const int c = conflict(fd, slot, 1, &found);
  if (c == 0) {
    const long pid = static_cast<long>(::getpid());
    // Without its process id the slot is still held; others then wait or
    // report an unknown holder.
    if (pid <= kMaxPid) set_lock(fd, F_RDLCK, slot + 1 + pid);
    return SlotTry::TAKEN;
  }
  const int saved = errno;
  // Step back; the lock that another holds or places stays.
  set_lock(fd, F_UNLCK, slot);
  if (c < 0) {
    errno = saved;
    return SlotTry::FAILED;
  }
  const long pid = slot_holder(fd, slot);
  if (pid > 0) {
    *holder = pid;
    return SlotTry::HELD;
  }
  return SlotTry::CONTENDED;
}

}  // namespace utils
