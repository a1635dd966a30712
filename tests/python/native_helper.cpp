// SPDX-License-Identifier: MIT
// Native code that shares a Python process with the package vorla, for the
// tests that Python and native code see one default workspace. Linked
// against the shared library vorla::shared, as native code loaded into an
// interpreter is, and loaded with ctypes. Every function reports a library
// error as a result, never as an exception through ctypes.

#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "module/vorla.h"
#include "workspace/workspace.h"

extern "C" {

// Loads `path` into the default workspace; 0, or -1 on an error.
int helper_load(const char* path) {
  try {
    vorla::definst.load(path);
    return 0;
  } catch (const std::exception&) {
    return -1;
  }
}

// A new record of the default workspace with the text item `name` = `text`;
// its id, or 0 on an error.
unsigned helper_put(const char* type, const char* name, const char* text) {
  try {
    std::shared_ptr<vorla::StructConfig> rec = vorla::definst.newStruct();
    rec->setType(type);
    rec->addStr(name, text);
    return rec->getId();
  } catch (const std::exception&) {
    return 0;
  }
}

// Copies text item `name` of record `id` into `out` (NUL-terminated,
// `size` bytes at most); its length, or -1 on an error.
int helper_get(unsigned id, const char* name, char* out, std::size_t size) {
  try {
    const std::string text = vorla::definst.getStruct(id)->getStr(name);
    if (text.size() >= size) return -1;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return static_cast<int>(text.size());
  } catch (const std::exception&) {
    return -1;
  }
}

// The number of records of the default workspace.
std::size_t helper_count() { return vorla::definst.getStructs().size(); }

}  // extern "C"
