// SPDX-License-Identifier: MIT
// The id counter under threads: every inc() hands out a value no other call
// got, and together they leave no gap.

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "workspace/workspace.h"

namespace vorla {
namespace {

const int kThreads = 8;
const int kIncrements = 20000;

TEST(SharedVarTest, IncFromManyThreadsGivesUniqueGaplessValues) {
  SharedVar<unsigned int> counter(1);
  std::vector<std::vector<unsigned int> > got(kThreads);
  std::atomic<bool> go(false);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      got[t].reserve(kIncrements);
      while (!go.load()) {
      }
      for (int i = 0; i < kIncrements; ++i) got[t].push_back(counter.inc());
    });
  }
  go = true;
  for (std::thread& th : threads) th.join();

  std::vector<unsigned int> all;
  for (const std::vector<unsigned int>& values : got) {
    // Each thread sees its own values rise.
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    all.insert(all.end(), values.begin(), values.end());
  }
  std::sort(all.begin(), all.end());
  ASSERT_EQ(static_cast<size_t>(kThreads * kIncrements), all.size());
  for (size_t i = 0; i < all.size(); ++i) {
    ASSERT_EQ(i + 2, all[i]) << "duplicate or gap";
  }
  EXPECT_EQ(static_cast<unsigned int>(kThreads * kIncrements + 1),
            counter.get());
}

TEST(SharedVarTest, ReadersAndCopiesSeeOnlyValuesHandedOut) {
  SharedVar<unsigned int> counter;
  std::atomic<bool> done(false);
  std::thread writer([&] {
    for (int i = 0; i < kIncrements; ++i) counter.inc();
    done = true;
  });
  std::vector<std::thread> readers;
  std::atomic<int> backwards(0);
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      unsigned int last = 0;
      while (!done.load()) {
        // Reading, copying and assigning under the writer's nose.
        unsigned int now;
        if (t == 0) {
          now = counter.get();
        } else if (t == 1) {
          SharedVar<unsigned int> copy(counter);
          now = copy.get();
        } else {
          SharedVar<unsigned int> assigned;
          assigned = counter;
          now = assigned.get();
        }
        if (now < last) ++backwards;
        last = now;
      }
    });
  }
  writer.join();
  for (std::thread& th : readers) th.join();
  EXPECT_EQ(0, backwards.load());
  EXPECT_EQ(static_cast<unsigned int>(kIncrements), counter.get());
}

}  // namespace
}  // namespace vorla
