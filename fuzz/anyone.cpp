// SPDX-License-Identifier: MIT
#include "fuzz/anyone.h"

#include <fcntl.h>
#include <signal.h>  // kill
#include <sys/stat.h>
#include <sys/syscall.h>  // SYS_gettid
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/round_trip.h"
#include "workspace/workspace.h"

#include <dirent.h>  // opendir, readdir

namespace vorla {

namespace {

// The random source of data file names is reset to this before every
// input, so that an input draws the same names in every run.
const boost::int32_t kSeed = 20240229;

// Releases that a record's internal count may take before the harness
// stops trying: a count near its maximum would otherwise take billions.
const int kReleasePasses = 8;

// The setuid file that the data directory starts with; any other file in
// either workspace folder with the bit comes from a copy.
const char kSetuidName[] = "_suid_2__1_";
const char kFifoName[] = "_fifo_2__1_";

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  std::fprintf(stderr, "anyone scratch: %s: %s\n", what.c_str(), path.c_str());
  std::abort();
}

// `s` with every byte outside printable ASCII as \xNN, for messages.
std::string printable(const std::string& s) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += ch;
    } else {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

void writeFile(const std::string& path, const std::string& content,
               mode_t mode) {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fail("cannot create", path);
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n <= 0) fail("cannot write", path);
    done += static_cast<std::size_t>(n);
  }
  // fchmod, unlike open, is not cut by the umask: the setuid bit stays.
  if (::fchmod(fd, mode) != 0 || ::close(fd) != 0) fail("cannot write", path);
}

// A regular file's content; callers make sure it is no FIFO.
std::string readFile(const std::string& path) {
  std::string out;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) {
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

// The names in `dir` but "." and "..", sorted.
std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

void removeTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    for (const std::string& name : listDir(path)) removeTree(path + "/" + name);
    if (::rmdir(path.c_str()) != 0) fail("cannot remove", path);
  } else if (::unlink(path.c_str()) != 0) {
    fail("cannot remove", path);
  }
}

// Empties `dir` but for the entry `keep`, and makes it if it is missing.
void clearDir(const std::string& dir, const std::string& keep) {
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    fail("cannot make", dir);
  }
  for (const std::string& name : listDir(dir)) {
    if (name != keep) removeTree(dir + "/" + name);
  }
}

void makeDir(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0755) != 0) fail("cannot make", dir);
}

void makeLink(const std::string& target, const std::string& path) {
  if (::symlink(target.c_str(), path.c_str()) != 0) fail("cannot link", path);
}

// Every decoy holds a random token of this many characters.
const std::size_t kTokenLength = 24;

std::string randomToken() {
  unsigned char bytes[kTokenLength / 2];
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::read(fd, bytes, sizeof bytes) != sizeof bytes) {
    fail("cannot read", "/dev/urandom");
  }
  ::close(fd);
  static const char hex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token += hex[b >> 4];
    token += hex[b & 15];
  }
  return token;
}

uint64_t contentHash(const std::string& s) {
  uint64_t h = 14695981039346656037ull;
  for (char c : s) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  return h;
}

// The polynomial hash of s[b, b + kTokenLength), the one findToken rolls.
const uint64_t kBase = 1000003;

uint64_t windowHash(const std::string& s, std::size_t b) {
  uint64_t h = 0;
  for (std::size_t i = 0; i < kTokenLength; ++i) {
    h = h * kBase + static_cast<unsigned char>(s[b + i]);
  }
  return h;
}

// The index of the first of `tokens` that a window of `s` hashes like, or
// -1: a search for the decoys' tokens that never compares bytes with them.
int findToken(const std::string& s, const std::vector<uint64_t>& tokens) {
  if (s.size() < kTokenLength) return -1;
  uint64_t top = 1;  // kBase to the power kTokenLength - 1
  for (std::size_t i = 1; i < kTokenLength; ++i) top *= kBase;
  uint64_t h = windowHash(s, 0);
  for (std::size_t b = 0;; ++b) {
    for (std::size_t k = 0; k < tokens.size(); ++k) {
      if (h == tokens[k]) return static_cast<int>(k);
    }
    if (b + kTokenLength >= s.size()) return -1;
    h = (h - top * static_cast<unsigned char>(s[b])) * kBase +
        static_cast<unsigned char>(s[b + kTokenLength]);
  }
}

// `path` with ".", ".." and repeated separators resolved by text alone, as
// the system resolves it when no symbolic link is on the way (the folders
// on the way here hold none).
std::string normalise(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t b = 0;
  while (b <= path.size()) {
    std::size_t e = path.find('/', b);
    if (e == std::string::npos) e = path.size();
    const std::string part = path.substr(b, e - b);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    b = e + 1;
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

bool inside(const std::string& path, const std::string& dir) {
  return path == dir || path.compare(0, dir.size() + 1, dir + "/") == 0;
}

// The messages by which the library refuses a copy or a release of what a
// hand-written index file holds.
bool isLibraryMessage(const std::string& what) {
  static const std::set<std::string> messages = {"cannot copy file",
                                                 "cannot create rand file name",
                                                 "cannot find id",
                                                 "cannot find name",
                                                 "cannot open file",
                                                 "changed in type",
                                                 "copy too large",
                                                 "cyclic link",
                                                 "existed",
                                                 "file existed",
                                                 "foreign record",
                                                 "invalid file name",
                                                 "invalid name",
                                                 "invalid text",
                                                 "line too long",
                                                 "reference count overflow",
                                                 "unsupported child type",
                                                 "wrong variable type"};
  return messages.count(what) != 0;
}

// What a release may change, hashed: every record's key, id, counts, mark
// and number of items.
uint64_t fingerprint(const SpaceMan& w) {
  uint64_t h = 14695981039346656037ull;
  auto mix = [&h](uint64_t v) {
    h ^= v;
    h *= 1099511628211ull;
  };
  mix(w.getStructs().size());
  for (const auto& entry : w.getStructs()) {
    const StructConfig& r = *entry.second;
    mix(static_cast<uint64_t>(static_cast<uint32_t>(entry.first)));
    mix(r.id);
    mix(r.extrefcount);
    mix(r.intrefcount);
    mix(r.temporary);
    mix(r.items.size());
  }
  return h;
}

// One release through `how`; a refusal must be one of the library's and
// must leave the workspace as it was.
template <typename Release>
std::string release(SpaceMan& w, unsigned id, const char* what, Release how) {
  const uint64_t before = fingerprint(w);
  try {
    how(id);
  } catch (const std::runtime_error& e) {
    const std::string where =
        std::string(what) + " of record " + std::to_string(id);
    if (!isLibraryMessage(e.what())) {
      return where + " failed with an unknown message: " + e.what();
    }
    if (fingerprint(w) != before) {
      return where + " failed (" + e.what() + ") and changed the workspace";
    }
  }
  return std::string();
}

bool registered(const SpaceMan& w, unsigned id) {
  return w.getStructs().count(static_cast<int>(id)) != 0;
}

std::vector<unsigned> idsOf(const SpaceMan& w) {
  std::vector<unsigned> ids;
  for (const auto& entry : w.getStructs()) {
    ids.push_back(static_cast<unsigned>(entry.first));
  }
  return ids;
}

// Copies every record of `src` into `dst`, and the first one but record 0
// within `src`, as `vorla copy` makes them; every data file the copies put
// in `dst` must be a file of its own.
std::string copyEverything(SpaceMan& src, SpaceMan& dst) {
  const std::vector<unsigned> ids = idsOf(src);
  for (unsigned id : ids) {
    try {
      dst.import(&src, id);
      // Record 0's items are the workspace's own: a copy would be a
      // second system record.
      if (id == 0) return "the copy of record 0 was not refused";
    } catch (const std::runtime_error& e) {
      if (id == 0 && std::string(e.what()) == "system record") continue;
      if (!isLibraryMessage(e.what())) {
        return "the copy of record " + std::to_string(id) +
               " failed with an unknown message: " + e.what();
      }
    }
  }
  const auto first =
      std::find_if(ids.begin(), ids.end(), [](unsigned id) { return id != 0; });
  if (first != ids.end()) {
    try {
      src.import(&src, *first);
    } catch (const std::runtime_error& e) {
      if (!isLibraryMessage(e.what())) {
        return "the copy of record " + std::to_string(*first) +
               " within its workspace failed with an unknown message: " +
               e.what();
      }
    }
  }
  for (const auto& entry : dst.getStructs()) {
    for (const auto& item : entry.second->items) {
      if (item.second.type != StructConfig::ITEM_FILE) continue;
      struct stat st;
      const std::string path = dst.getDatadir() + "/" + item.second.str;
      if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        return "a copy took a symbolic link for its data file: " +
               printable(item.second.str);
      }
    }
  }
  return std::string();
}

// Loads `input` into `w` again while the former records are still held,
// and has those erase their data: they belong to the workspace no more,
// and must leave alone the files and records loaded in their place.
std::string eraseThroughStaleRecords(SpaceMan& w, const std::string& input) {
  std::vector<std::shared_ptr<StructConfig> > kept;
  for (const auto& entry : w.getStructs()) kept.push_back(entry.second);
  try {
    w.load(input);
  } catch (const std::runtime_error& e) {
    return std::string("a file that loaded does not load again: ") + e.what();
  }
  const uint64_t before = fingerprint(w);
  const std::vector<std::string> files = listDir(w.getDatadir());
  for (const std::shared_ptr<StructConfig>& rec : kept) {
    try {
      rec->eraseData();
    } catch (const std::runtime_error& e) {
      if (!isLibraryMessage(e.what())) {
        return std::string(
                   "erasing a record kept across a load failed with "
                   "an unknown message: ") +
               e.what();
      }
    }
  }
  if (fingerprint(w) != before || listDir(w.getDatadir()) != files) {
    return "erasing a record kept across a load changed the workspace loaded "
           "in its place";
  }
  return std::string();
}

// Releases every record but record 0: its external reference, then its
// internal ones while any remain (a few passes at most). Record 0 must
// outlive them all.
std::string releaseEverything(SpaceMan& w) {
  const auto external = [&w](unsigned id) { w.unlinkStruct(id); };
  const auto internal = [&w](unsigned id) { w.internalUnlink(id); };
  for (unsigned id : idsOf(w)) {
    if (id == 0 || !registered(w, id)) continue;
    const std::string problem = release(w, id, "the release", external);
    if (!problem.empty()) return problem;
  }
  for (int pass = 0; pass < kReleasePasses; ++pass) {
    std::vector<unsigned> kept;
    for (const auto& entry : w.getStructs()) {
      if (entry.first != 0 && entry.second->intrefcount > 0) {
        kept.push_back(static_cast<unsigned>(entry.first));
      }
    }
    if (kept.empty()) break;
    for (unsigned id : kept) {
      if (!registered(w, id)) continue;
      const std::string problem =
          release(w, id, "the internal release", internal);
      if (!problem.empty()) return problem;
    }
  }
  if (!registered(w, 0)) return "a release erased record 0";
  return std::string();
}

// Whether thread `tid` of this process sleeps in a call that a FIFO
// without a writer blocks: open, openat or read.
bool sleepsInOpenOrRead(long tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
  std::string call;
  in >> call;
  return call == "0" || call == "2" || call == "257";
}

}  // namespace

// Watches the FIFO of the data directory while an input runs. A reader that
// blocks on it (a copy opening it as a data file) is seen from here: the
// thread that runs the input sleeps in open or read, and the FIFO has a
// reader, so a writer can open it without blocking. That writer also lets
// the reader go on, to the end of an empty file, so the input ends and the
// block is reported instead of hanging the run. A reader that opens the
// FIFO without blocking and lets it go is not reported.
class AnyoneScratch::FifoWatch {
 public:
  explicit FifoWatch(const std::string& fifo)
      : path(fifo), thread([this] { loop(); }) {}

  ~FifoWatch() {
    {
      std::lock_guard<std::mutex> guard(lock);
      stop = true;
    }
    wake.notify_one();
    thread.join();
  }

  // From the thread that runs the input.
  void arm() {
    {
      std::lock_guard<std::mutex> guard(lock);
      tid = ::syscall(SYS_gettid);
      armed = true;
      blocked = false;
    }
    wake.notify_one();
  }

  // Whether a reader blocked on the FIFO since arm().
  bool disarm() {
    std::lock_guard<std::mutex> guard(lock);
    armed = false;
    return blocked;
  }

 private:
  void loop() {
    std::unique_lock<std::mutex> guard(lock);
    while (!stop) {
      if (!armed) {
        wake.wait(guard);
        continue;
      }
      const long watched = tid;
      guard.unlock();
      bool seen = false;
      if (sleepsInOpenOrRead(watched)) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
          seen = true;
          ::close(fd);
        }
      }
      guard.lock();
      if (seen && armed) blocked = true;
      wake.wait_for(guard, std::chrono::milliseconds(1));
    }
  }

  const std::string path;
  std::mutex lock;
  std::condition_variable wake;
  long tid = 0;
  bool armed = false;
  bool blocked = false;
  bool stop = false;
  std::thread thread;  // last: it starts once the rest is ready
};

AnyoneScratch::AnyoneScratch(const std::string& base) {
  std::string tmpl =
      base + "/vorla-anyone-" + std::to_string(::getpid()) + "-XXXXXX";
  if (::mkdtemp(&tmpl[0]) == nullptr) fail("cannot make", tmpl);
  rootDir = normalise(tmpl);
  makeDir(rootDir + "/victim");
  makeDir(rootDir + "/victim/data");
  makeDir(rootDir + "/ws");
  makeDir(rootDir + "/dst");
  const struct {
    const char* name;
    mode_t mode;
  } made[] = {{"secret", 0600},
              {"victim/victim.ini", 0644},
              {"victim/data/photo_2__1_", 0644},
              {"victim/data/thumb_3__2_", 0640}};
  for (const auto& m : made) {
    Decoy d;
    d.path = rootDir + "/" + m.name;
    const std::string token = randomToken();
    const std::string content = std::string("decoy ") + m.name + " " + token;
    d.contentHash = contentHash(content);
    d.tokenHash = windowHash(token, 0);
    d.mode = m.mode;
    writeFile(d.path, content, m.mode);
    decoys.push_back(d);
  }
  rdengine.seed(kSeed);
  firstDraw = std::to_string(rnd());
  watch.reset(new FifoWatch(rootDir + "/ws/data/" + kFifoName));
}

AnyoneScratch::~AnyoneScratch() {
  watch.reset();
  removeTree(rootDir);
}

void AnyoneScratch::removeLeftovers(const std::string& base) {
  const std::string prefix = "vorla-anyone-";
  for (const std::string& name : listDir(base)) {
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
    if (pid <= 0 || pid == ::getpid()) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    // Only folders of this user: the base may be shared.
    struct stat st;
    const std::string path = base + "/" + name;
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == ::geteuid()) {
      removeTree(path);
    }
  }
}

void AnyoneScratch::lay() {
  const std::string ws = rootDir + "/ws";
  const std::string dst = rootDir + "/dst";
  clearDir(ws, "data");
  clearDir(ws + "/data", "");
  makeLink("../../secret", ws + "/data/_lnk_2__1_");
  if (::mkfifo((ws + "/data/" + kFifoName).c_str(), 0644) != 0) {
    fail("cannot make", ws + "/data/" + kFifoName);
  }
  writeFile(ws + "/data/" + kSetuidName, "setuid\n", 04755);
  writeFile(ws + "/data/photo_2__1_", "photo\n", 0644);
  writeFile(ws + "/data/thumb_3__2_", "thumb\n", 0644);
  clearDir(dst, "data");
  clearDir(dst + "/data", "");
  // The names that the first file copied from the data files above would
  // get in the first records made (record 0's copy, then the next) lead
  // nowhere: taken for free names, they would make the destination's data
  // files links.
  for (const char* prefix : {"", "photo", "thumb"}) {
    for (const char* id : {"2", "3"}) {
      makeLink("../../gone",
               dst + "/data/" + prefix + "_" + id + "__" + firstDraw + "_");
    }
  }
}

std::string AnyoneScratch::run(const std::string& bytes) {
  const std::string ws = rootDir + "/ws";
  const std::string input = ws + "/input.ini";
  writeFile(input, bytes, 0644);

  SpaceMan src;
  try {
    src.load(input);
  } catch (const std::runtime_error& e) {
    if (!isLoadMessage(e.what())) {
      return std::string("load failed with an unknown message: ") + e.what();
    }
    return std::string();
  }
  // Checked before anything reads or deletes a data file, so that a data
  // directory elsewhere is reported instead of being worked on.
  const std::string datadir = src.getDatadir();
  if (datadir.find('\0') != std::string::npos) {
    return "the data directory holds a NUL byte: " +
           printable(src.getRelDataDir());
  }
  if (!inside(normalise(datadir), ws)) {
    return "the data directory lies outside the workspace folder: " +
           printable(src.getRelDataDir());
  }
  // A save completes record 0 (its count among others), so the round trip
  // of what was loaded works on a second image of the file.
  {
    SpaceMan again;
    again.load(input);
    const std::string problem = checkSaveAndReload(again, ws + "/first.ini");
    if (!problem.empty()) return "after the load: " + problem;
  }

  SpaceMan dst;
  try {
    dst.init(rootDir + "/dst/dst.ini", "data");
  } catch (const std::runtime_error& e) {
    fail(e.what(), rootDir + "/dst/dst.ini");
  }
  dst.setCopyLimit(kCopyLimit);
  src.setCopyLimit(kCopyLimit);
  std::string problem = copyEverything(src, dst);
  if (problem.empty()) problem = eraseThroughStaleRecords(src, input);
  if (problem.empty()) problem = releaseEverything(src);
  if (!problem.empty()) return problem;

  problem = checkSaveAndReload(src, ws + "/released.ini");
  if (!problem.empty()) return "after the releases: " + problem;
  problem = checkSaveAndReload(dst, dst.mainfile());
  if (!problem.empty()) return "after the copies: " + problem;
  return std::string();
}

std::string AnyoneScratch::checkDecoys() const {
  std::string problems;
  for (const Decoy& d : decoys) {
    struct stat st;
    if (::lstat(d.path.c_str(), &st) != 0) {
      problems += "a decoy was removed: " + d.path + "\n";
    } else if (!S_ISREG(st.st_mode)) {
      problems += "a decoy was replaced: " + d.path + "\n";
    } else if ((st.st_mode & 07777) != d.mode) {
      problems += "a decoy changed its mode: " + d.path + "\n";
    } else if (contentHash(readFile(d.path)) != d.contentHash) {
      problems += "a decoy was changed: " + d.path + "\n";
    }
  }
  const struct {
    const char* dir;
    std::vector<std::string> names;
  } listings[] = {
      {"", {"dst", "secret", "victim", "ws"}},
      {"/victim", {"data", "victim.ini"}},
      {"/victim/data", {"photo_2__1_", "thumb_3__2_"}},
  };
  for (const auto& l : listings) {
    if (listDir(rootDir + l.dir) != l.names) {
      problems += "files appeared or went outside the workspaces: " + rootDir +
                  l.dir + "\n";
    }
  }
  return problems;
}

std::string AnyoneScratch::checkFolder(const std::string& dir) const {
  std::vector<uint64_t> tokens;
  for (const Decoy& d : decoys) tokens.push_back(d.tokenHash);
  std::string problems;
  for (const std::string& name : listDir(dir)) {
    const std::string path = dir + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      problems += checkFolder(path);
      continue;
    }
    if (!S_ISREG(st.st_mode)) continue;
    if ((st.st_mode & (S_ISUID | S_ISGID)) != 0 &&
        path != rootDir + "/ws/data/" + kSetuidName) {
      problems +=
          "a copy kept a setuid or setgid bit: " + printable(path) + "\n";
    }
    const int found = findToken(readFile(path), tokens);
    if (found >= 0) {
      problems += "a decoy was read into a workspace: " + printable(path) +
                  " holds " + decoys[static_cast<std::size_t>(found)].path +
                  "\n";
    }
  }
  return problems;
}

std::string AnyoneScratch::check(const std::string& bytes) {
  rdengine.seed(kSeed);
  lay();
  std::string problems;
  watch->arm();
  try {
    problems = run(bytes);
  } catch (const std::exception& e) {
    problems = std::string("an error that is not the library's: ") + e.what();
  }
  if (watch->disarm()) {
    problems = "a copy blocked on a FIFO\n" + problems;
  }
  if (!problems.empty() && problems.back() != '\n') problems += "\n";
  problems += checkDecoys();
  problems += checkFolder(rootDir + "/ws");
  problems += checkFolder(rootDir + "/dst");
  if (!problems.empty() && problems.back() == '\n') problems.pop_back();
  return problems;
}

}  // namespace vorla
