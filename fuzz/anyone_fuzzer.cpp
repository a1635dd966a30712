// SPDX-License-Identifier: MIT
// libFuzzer target: a workspace from anyone (see anyone.h).

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/anyone.h"

namespace {

// On tmpfs where there is one: the saves flush to disk, which a real disk
// makes slow.
const char* base() {
  return ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
}

vorla::AnyoneScratch* scratch = nullptr;

void removeScratch() {
  delete scratch;
  scratch = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vorla::AnyoneScratch::removeLeftovers(base());
  scratch = new vorla::AnyoneScratch(base());
  std::atexit(removeScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string problem = scratch->check(bytes);
  if (!problem.empty()) {
    std::fprintf(stderr, "workspace from anyone: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
