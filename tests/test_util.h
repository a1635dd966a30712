// SPDX-License-Identifier: MIT
// Helpers shared by the GoogleTest suites.

#ifndef VORLA_TESTS_TEST_UTIL_H_
#define VORLA_TESTS_TEST_UTIL_H_

#include <sys/stat.h>
#include <sys/time.h>  // utimes
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

// Expects `statement` to throw std::runtime_error whose what() is `msg`.
#define EXPECT_THROW_MSG(statement, msg)                           \
  do {                                                             \
    try {                                                          \
      statement;                                                   \
      ADD_FAILURE() << "no exception from " #statement;            \
    } catch (const std::runtime_error& e) {                        \
      EXPECT_EQ(std::string(msg), e.what()) << "from " #statement; \
    }                                                              \
  } while (0)

namespace vorla_test {

// A fresh directory with an empty data/ subdirectory (the library creates
// no directories), removed again at the end of the test.
class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/vorla-test-XXXXXX";
    const char* made = ::mkdtemp(templ);
    if (!made) throw std::runtime_error("mkdtemp failed");
    root = made;
    ::mkdir((root + "/data").c_str(), 0755);
  }
  ~TempDir() {
    const std::string cmd = "rm -rf '" + root + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return root; }
  std::string file(const std::string& name) const { return root + "/" + name; }

 private:
  std::string root;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
  out << content;
}

inline bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// Sets a file's modification (and access) time `seconds` into the past.
inline void setAge(const std::string& path, int64_t seconds) {
  struct timeval times[2];
  times[0].tv_sec = times[1].tv_sec =
      static_cast<time_t>(std::time(nullptr) - seconds);
  times[0].tv_usec = times[1].tv_usec = 0;
  ASSERT_EQ(0, utimes(path.c_str(), times));
}

// Record 0 of a hand-written index file.
inline std::string header(unsigned counter) {
  return "[0]\n$current_counter_uint64 = " + std::to_string(counter) +
         "\n$reldatadir_str = data\nextrefcount_sys = 1000\n"
         "structtype_sys = system_record\n\n";
}

// One section of a hand-written index file.
inline std::string section(unsigned id, unsigned ext, unsigned in,
                           const std::string& items) {
  return "[" + std::to_string(id) + "]\n" + items +
         "extrefcount_sys = " + std::to_string(ext) +
         "\nintrefcount_sys = " + std::to_string(in) + "\n\n";
}

}  // namespace vorla_test

#endif  // VORLA_TESTS_TEST_UTIL_H_
