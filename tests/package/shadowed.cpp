// SPDX-License-Identifier: MIT
// Compiled with the consumer's own utils/, workspace/ and module/ folders
// first on the include path (shadow/, whose headers stop the compiler):
// vorla's headers include only each other.

#include <vorla/module/vorla.h>
#include <vorla/workspace/check.h>
#include <vorla/workspace/gc.h>
#include <vorla/workspace/workspace.h>

unsigned records_of_default() {
  return static_cast<unsigned>(vorla::definst.getStructs().size());
}
