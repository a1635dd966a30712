// SPDX-License-Identifier: MIT
// libFuzzer target: arbitrary bytes as an index file (see round_trip.h).

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/round_trip.h"

namespace {

// A private directory for the files of one fuzzing process, on tmpfs where
// there is one: the saves flush to disk, which a real disk makes slow.
const std::string& workDir() {
  static const std::string dir = [] {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/vorla-fuzz-XXXXXX";
    if (::mkdtemp(&tmpl[0]) == nullptr) std::abort();
    return tmpl;
  }();
  return dir;
}

void removeWorkDir() {
  for (const char* name : {"input.ini", "first.ini", "second.ini"}) {
    ::unlink((workDir() + "/" + name).c_str());
  }
  ::rmdir(workDir().c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  workDir();
  std::atexit(removeWorkDir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string problem = vorla::checkIndexBytes(bytes, workDir());
  if (!problem.empty()) {
    std::fprintf(stderr, "index file round trip: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
