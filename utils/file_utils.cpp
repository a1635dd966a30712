#include "utils/file_utils.h"

#include <fcntl.h>
#include <sys/sendfile.h>  // sendfile
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace utils {

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

}  // namespace

std::string pathname(const std::string& path) {
  std::string::size_type pos = path.find_last_of("/\\");
  if (pos == std::string::npos) return ".";
  return path.substr(0, pos);
}

std::pair<std::string, std::string> splitext(const std::string& path) {
  std::string::size_type pos = path.rfind('.');
  if (pos == std::string::npos) return std::make_pair(path, std::string());
  return std::make_pair(path.substr(0, pos), path.substr(pos));
}

char lastchr(const std::string& s) { return s.empty() ? '\0' : s.back(); }

std::string pathadd(const std::string& dir, const std::string& name) {
  if (is_separator(lastchr(dir))) return dir + name;
  std::string joined;
  joined.reserve(dir.size() + 1 + name.size());
  joined += dir;
  joined += '/';
  joined += name;
  return joined;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

int64_t filesize(const std::string& path) {
  std::ifstream in(path.c_str(), std::ios::in | std::ios::binary);
  if (!in.good() || in.eof() || !in.is_open()) return 0;
  in.seekg(0, std::ios::beg);
  const std::streampos begin = in.tellg();
  in.seekg(0, std::ios::end);
  const std::streampos end = in.tellg();
  return static_cast<int64_t>(end - begin);
}

void copyfile(const std::string& src, const std::string& dst) {
  const int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) throw std::runtime_error("cannot open file");
  struct stat st;
  if (::fstat(in, &st) != 0) {
    ::close(in);
    throw std::runtime_error("cannot open file");
  }
  // Only a destination that this call creates is removed when the copy
  // fails; an existing one is overwritten but never deleted.
  bool created = true;
  int out = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                   st.st_mode & 07777);
  if (out < 0 && errno == EEXIST) {
    created = false;
    out = ::open(dst.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  }
  if (out < 0) {
    ::close(in);
    throw std::runtime_error("cannot copy file");
  }
  off_t offset = 0;
  const off_t size = st.st_size;
  bool ok = true;
  while (offset < size) {
    const ssize_t moved =
        ::sendfile(out, in, &offset, static_cast<size_t>(size - offset));
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) {
      ok = false;
      break;
    }
  }
  // The index file may name this copy as soon as the caller saves: its
  // contents must reach the disk first.
  if (ok && ::fsync(out) != 0) ok = false;
  ::close(in);
  if (::close(out) != 0) ok = false;
  if (!ok) {
    if (created) ::unlink(dst.c_str());
    throw std::runtime_error("cannot copy file");
  }
}

std::string open_temp(std::ofstream& stream, const std::string& prefix) {
  std::string name = prefix + "_XXXXXX";
  std::vector<char> buf(name.begin(), name.end());
  buf.push_back('\0');
  const int fd = ::mkstemp(buf.data());
  if (fd < 0) return std::string();
  name.assign(buf.data());
  stream.open(name.c_str(), std::ios::out | std::ios::trunc);
  ::close(fd);
  return name;
}

}  // namespace utils
