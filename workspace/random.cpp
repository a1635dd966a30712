// The process-wide random source of data file names.

#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>

#include "utils/file_utils.h"
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

std::string randfilename(const std::string& dir, const std::string& prefix,
                         const std::string& suffix) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    std::string candidate = prefix;
    candidate += '_';
    candidate += std::to_string(rnd());
    candidate += '_';
    candidate += suffix;
    // Anything at the name, a dangling symbolic link included, takes it: the
    // caller creates the file there and must not write through a link.
    if (!utils::name_taken(utils::pathadd(dir, candidate))) return candidate;
  }
  throw std::runtime_error("cannot create rand file name");
}

}  // namespace vorla
