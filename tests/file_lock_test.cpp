// SPDX-License-Identifier: MIT
// Lock slots and file identities against the real kernel. Two descriptions
// of one directory conflict as two processes do, which is what lets one
// process play both sides here.

#include "utils/file_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

using utils::SlotTry;

// A read lock on one byte, placed the way a process in the middle of taking
// a slot leaves it.
void placeByte(int fd, uint64_t at) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(at);
  fl.l_len = 1;
  ASSERT_EQ(0, ::fcntl(fd, F_OFD_SETLK, &fl));
}

TEST(FileLockTest, ASlotHasOneHolderAndNamesIt) {
  vorla_test::TempDir dir;
  const uint64_t slot = utils::slot_of("ws.ini");
  const int a = utils::open_directory(dir.path());
  const int b = utils::open_directory(dir.path());
  const int c = utils::open_directory(dir.path());
  ASSERT_TRUE(a >= 0 && b >= 0 && c >= 0);
  long holder = -1;
  EXPECT_EQ(SlotTry::TAKEN, utils::try_slot(a, slot, &holder));
  EXPECT_EQ(SlotTry::HELD, utils::try_slot(b, slot, &holder));
  EXPECT_EQ(static_cast<long>(::getpid()), holder);
  EXPECT_EQ(holder, utils::slot_holder(c, slot));
  // Another name in the same folder has a slot of its own.
  EXPECT_NE(slot, utils::slot_of("ws2.ini"));
  EXPECT_EQ(SlotTry::TAKEN,
            utils::try_slot(b, utils::slot_of("ws2.ini"), &holder));
  // The holder's end frees the slot; the one that stepped back left nothing.
  ::close(a);
  EXPECT_EQ(0, utils::slot_holder(c, slot));
  EXPECT_EQ(SlotTry::TAKEN, utils::try_slot(c, slot, &holder));
  ::close(b);
  ::close(c);
}

TEST(FileLockTest, ATakerWithoutProcessIdIsContendedNotHeld) {
  vorla_test::TempDir dir;
  const uint64_t slot = utils::slot_of("ws.ini");
  const int racer = utils::open_directory(dir.path());
  const int b = utils::open_directory(dir.path());
  placeByte(racer, slot);
  long holder = -1;
  EXPECT_EQ(SlotTry::CONTENDED, utils::try_slot(b, slot, &holder));
  // Once it has placed its process id, it holds the slot.
  placeByte(racer, slot + 1 + 4242);
  EXPECT_EQ(SlotTry::HELD, utils::try_slot(b, slot, &holder));
  EXPECT_EQ(4242, holder);
  ::close(racer);
  EXPECT_EQ(SlotTry::TAKEN, utils::try_slot(b, slot, &holder));
  ::close(b);
}

TEST(FileLockTest, IdentityChangesWithEveryNewVersion) {
  vorla_test::TempDir dir;
  const std::string path = dir.file("ws.ini");
  utils::FileIdentity none, first, again, replaced;
  ASSERT_TRUE(utils::identity_at(path, &none));
  EXPECT_FALSE(none.exists);
  vorla_test::write_file(path, "one");
  ASSERT_TRUE(utils::identity_at(path, &first));
  ASSERT_TRUE(utils::identity_at(path, &again));
  EXPECT_TRUE(first.exists);
  EXPECT_EQ(first, again);
  // The same bytes with another modification time.
  vorla_test::setAge(path, 10);
  ASSERT_TRUE(utils::identity_at(path, &again));
  EXPECT_NE(first, again);
  // Replaced by a rename, as a save does, through a link to it.
  vorla_test::write_file(dir.file("new"), "one");
  ASSERT_EQ(0, ::rename(dir.file("new").c_str(), path.c_str()));
  ASSERT_EQ(0, ::symlink("ws.ini", dir.file("link.ini").c_str()));
  ASSERT_TRUE(utils::identity_at(dir.file("link.ini"), &replaced));
  EXPECT_NE(again, replaced);
  std::string target;
  ASSERT_TRUE(utils::follow_links(dir.file("link.ini"), &target));
  EXPECT_EQ(path, target);
}

}  // namespace
