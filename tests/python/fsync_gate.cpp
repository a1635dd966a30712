// SPDX-License-Identifier: MIT
// fsync with a gate, preloaded (LD_PRELOAD) into a Python child by the test
// that the library runs without the interpreter's lock. When the
// environment holds VORLA_FSYNC_GATE="<started>,<answer>", each fsync first
// writes one byte to descriptor <started>, then waits for one byte on
// descriptor <answer>, then flushes. The answer comes from another Python
// thread of the same process: if the caller holds the interpreter's lock
// while fsync waits, that thread never runs and the call never ends.

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

extern "C" int fsync(int fd) {
  static int (*const real)(int) =
      reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
  int started = -1;
  int answer = -1;
  const char* gate = std::getenv("VORLA_FSYNC_GATE");
  char byte = 0;
  if (gate && std::sscanf(gate, "%d,%d", &started, &answer) == 2 &&
      (write(started, "x", 1) != 1 || read(answer, &byte, 1) != 1)) {
    errno = EIO;  // a broken gate fails the save, which the test sees
    return -1;
  }
  return real(fd);
}
