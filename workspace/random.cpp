// SPDX-License-Identifier: MIT
// The process-wide random source of data file names.

#include <cstdint>
#include <ctime>

#include "workspace/workspace.h"

namespace vorla {

namespace {

// srand48's rule: the low 32 bits of the clock in seconds become the high
// bits of the 48-bit state, below them 0x330E (rand48's constructor).
boost::int32_t clock_seed() {
  return static_cast<boost::int32_t>(static_cast<uint32_t>(std::time(nullptr)));
}

}  // namespace

// Constructed before `definst` (priority 102), in declaration order.
__attribute__((init_priority(101))) boost::rand48 rdengine(clock_seed());
__attribute__((init_priority(101))) boost::uniform_int<int> rddist(0,
                                                                   0x7fffffff);
__attribute__((init_priority(101)))
boost::variate_generator<boost::rand48&, boost::uniform_int<int> >
    rnd(rdengine, rddist);

}  // namespace vorla
