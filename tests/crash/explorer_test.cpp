// SPDX-License-Identifier: MIT
// What a power cut may leave of a workspace, explored and judged.
//
// A scenario prepares a workspace in a scratch folder, then runs one call of
// the library (crash_driver) or one command of the tool as a child process
// under the recorder (recorder.cpp), which logs every file-system operation
// with the bytes written. From the folder as it was before and the log, the
// explorer builds every state a power cut after any operation may leave,
// under two models of the disk:
//
//   posix  a file's bytes are durable once the file is synced, a name (made,
//          replaced or removed) once its directory is synced, the two names
//          of a rename independently; anything else may be lost, and a write
//          that is not durable may be lost, cut short or zero-filled.
//   ext4   names and sizes are journaled in order, any sync commits all of
//          them: a prefix of the name operations survives; a file's
//          unsynced writes survive as a prefix of them, all of them when a
//          rename that replaced another file with it survived.
//
// Each state is rebuilt in a scratch folder and loaded with the library: it
// must be the workspace before the call or the one after it (its records and
// the bytes of every data file they name), and the one after it once the
// call returned. Where the combinations explode, a fixed-seed sample stands
// for them; VORLA_CRASH_CAP raises the number of states per crash point.
//
// A second test cuts the power for real where the machine allows it: an ext4
// image on a loop device is shut down without flushing its journal right
// after the call returned, mounted again, and the workspace checked.

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "workspace/workspace.h"

namespace vorla {
namespace {

namespace fs = std::filesystem;

// A folder's content: relative path -> kind ('d', 'f' or 'l') and bytes.
typedef std::map<std::string, std::pair<char, std::string>> Tree;

std::string readFile(const std::string& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

Tree readTree(const std::string& root) {
  Tree t;
  for (auto it = fs::recursive_directory_iterator(root);
       it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = fs::relative(it->path(), root).string();
    if (it->is_symlink()) {
      t[rel] = {'l', fs::read_symlink(it->path()).string()};
    } else if (it->is_directory()) {
      t[rel] = {'d', ""};
    } else {
      t[rel] = {'f', readFile(it->path().string())};
    }
  }
  return t;
}

void writeTree(const Tree& t, const std::string& root) {
  fs::remove_all(root);
  fs::create_directories(root);
  for (const auto& e : t) {  // a parent sorts before its children
    const std::string p = root + "/" + e.first;
    if (e.second.first == 'd') fs::create_directory(p);
    if (e.second.first == 'l') fs::create_symlink(e.second.second, p);
    if (e.second.first == 'f') {
      std::ofstream(p.c_str(), std::ios::binary) << e.second.second;
    }
  }
}

// A file's bytes in short: their count and a 64-bit FNV-1a hash.
std::string digest(const std::string& bytes) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
  std::ostringstream o;
  o << bytes.size() << " B #" << std::hex << h;
  return o.str();
}

// The workspace of an index file as the library loads it: records, items,
// the bytes of the data files named, and whether the data directory exists.
std::string describe(const std::string& index) {
  if (!fs::exists(index)) return "no index file\n";
  SpaceMan ws;
  try {
    ws.load(index);
  } catch (const std::exception& e) {
    return std::string("does not load: ") + e.what() + "\n";
  }
  std::ostringstream o;
  o << "data directory "
    << (fs::is_directory(ws.getDatadir()) ? "present" : "missing")
    << "\ncounter " << ws.getCounter() << "\n";
  for (const auto& e : ws.getStructs()) {
    const StructConfig& r = *e.second;
    o << "record " << e.first << " " << r.getType() << " " << r.extrefcount
      << "/" << r.intrefcount << "\n";
    for (const auto& item : r.items) {
      o << "  " << item.first << " " << item.second.type << " "
        << item.second.value << " " << item.second.str;
      if (item.second.type == StructConfig::ITEM_FILE) {
        const std::string p = r.getFile(item.first);
        o << (fs::is_regular_file(p) ? " " + digest(readFile(p)) : " MISSING");
      }
      o << "\n";
    }
  }
  return o.str();
}

// One logged operation, its paths relative to the root ("" is the root).
struct Op {
  std::string kind, a, b, data;
  long long n1 = 0;
};

std::vector<Op> readLog(const std::string& log, const std::string& root) {
  std::vector<Op> ops;
  std::ifstream in(log.c_str(), std::ios::binary);
  std::string line;
  const auto rel = [&](const std::string& p) {
    if (p.compare(0, root.size(), root) != 0) return p;
    return p.size() == root.size() ? std::string() : p.substr(root.size() + 1);
  };
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string x; std::getline(fields, x, '\t');) f.push_back(x);
    if (f.size() < 7) f.resize(7);
    Op op;
    op.kind = f[0];
    op.a = op.kind == "symlink" ? f[2] : rel(f[2]);
    op.b = rel(f[3]);
    op.n1 = std::atoll(f[4].c_str());
    op.data.resize(std::strtoull(f[6].c_str(), nullptr, 10));
    in.read(&op.data[0], static_cast<std::streamsize>(op.data.size()));
    if (op.kind != "close" && op.kind != "chmod") {
      ops.push_back(op);
    }
  }
  return ops;
}

// The disk as inodes: a directory's entries, a file's bytes, a link's target.
struct Inode {
  char kind;
  std::string bytes;
  std::map<std::string, int> entries;
};

// One effect of an operation: a name added or removed, bytes written or a
// size set. `group` is the logged operation it belongs to.
struct Micro {
  enum Kind { ADD, DEL, WRITE, TRUNC } kind;
  int group, dir, ino;
  std::string name, data;
  long long off;
  bool replace;  // an ADD of a rename over another file
};

struct Barrier {
  int group, ino;  // ino -1: everything
};

struct Model {
  std::vector<Inode> start;
  std::vector<Micro> micros;
  std::vector<Barrier> barriers;
  int ops = 0;
  std::string error;

  // Replays `log` from the snapshot `t`, splitting each operation into its
  // effects and resolving every path to the inode it names at that time.
  Model(const Tree& t, const std::vector<Op>& log) {
    start.push_back({'d', "", {}});
    std::vector<Inode> now;
    std::map<std::string, int> ino{{"", 0}};
    for (const auto& e : t) {
      start.push_back({e.second.first, e.second.second, {}});
      ino[e.first] = static_cast<int>(start.size()) - 1;
      const fs::path p(e.first);
      start[ino[p.parent_path().string()]].entries[p.filename().string()] =
          ino[e.first];
    }
    now = start;
    const auto find = [&](const std::string& p, int* dir, std::string* name) {
      int cur = 0;
      std::istringstream parts(p);
      std::vector<std::string> names;
      for (std::string x; std::getline(parts, x, '/');) names.push_back(x);
      for (size_t i = 0; i + 1 < names.size() && cur >= 0; ++i) {
        auto it = now[cur].entries.find(names[i]);
        cur = it == now[cur].entries.end() ? -1 : it->second;
      }
      *dir = cur;
      *name = names.empty() ? "" : names.back();
      if (cur < 0 || names.empty()) return names.empty() ? 0 : -1;
      auto it = now[cur].entries.find(*name);
      return it == now[cur].entries.end() ? -1 : it->second;
    };
    for (const Op& op : log) {
      const int g = ops++;
      int d1, d2, i1, i2;
      std::string n1, n2;
      i1 = find(op.a, &d1, &n1);
      i2 = find(op.b, &d2, &n2);
      const auto add = [&](int d, const std::string& n, int i, bool rep) {
        micros.push_back({Micro::ADD, g, d, i, n, "", 0, rep});
        now[d].entries[n] = i;
      };
      const auto fresh = [&](char kind, const std::string& bytes) {
        start.push_back({kind, bytes, {}});
        now.push_back(start.back());
        return static_cast<int>(now.size()) - 1;
      };
      const bool needA =
          op.kind != "create" && op.kind != "mkdir" && op.kind != "symlink";
      if ((needA && i1 < 0) || (op.kind == "symlink" ? d2 < 0 : d1 < 0)) {
        error = "log names an unknown path at operation " + std::to_string(g) +
                ": " + op.kind + " " + op.a;
        return;
      }
      if (op.kind == "create" || op.kind == "mkdir") {
        add(d1, n1, fresh(op.kind == "mkdir" ? 'd' : 'f', ""), false);
      } else if (op.kind == "symlink") {
        add(d2, n2, fresh('l', op.a), false);
      } else if (op.kind == "write" || op.kind == "trunc") {
        micros.push_back({op.kind == "write" ? Micro::WRITE : Micro::TRUNC, g,
                          -1, i1, "", op.data, op.n1, false});
        apply(now, micros.back(), 1);
      } else if (op.kind == "fsync" || op.kind == "sync") {
        barriers.push_back({g, op.kind == "sync" ? -1 : i1});
      } else if (op.kind == "rename" || op.kind == "link") {
        if (op.kind == "rename" && d1 == d2 && n1 == n2) continue;
        add(d2, n2, i1, op.kind == "rename" && i2 >= 0);
        if (op.kind == "rename") {
          micros.push_back({Micro::DEL, g, d1, i1, n1, "", 0, false});
          now[d1].entries.erase(n1);
        }
      } else if (op.kind == "unlink" || op.kind == "rmdir") {
        micros.push_back({Micro::DEL, g, d1, i1, n1, "", 0, false});
        now[d1].entries.erase(n1);
      } else {
        error = "operation the explorer cannot model: " + op.kind;
        return;
      }
    }
  }

  // Applies one effect; a write in `variant` 1 whole, 2 cut to half, 3 as
  // zeros.
  static void apply(std::vector<Inode>& in, const Micro& m, int variant) {
    if (m.kind == Micro::ADD) in[m.dir].entries[m.name] = m.ino;
    if (m.kind == Micro::DEL) in[m.dir].entries.erase(m.name);
    std::string& b = in[m.ino].bytes;
    if (m.kind == Micro::TRUNC) b.resize(static_cast<size_t>(m.off));
    if (m.kind != Micro::WRITE) return;
    std::string data = m.data;
    if (variant == 2) data.resize(data.size() / 2);
    if (variant == 3) data.assign(data.size(), '\0');
    const size_t off = static_cast<size_t>(m.off);
    if (b.size() < off + data.size()) b.resize(off + data.size());
    b.replace(off, data.size(), data);
  }

  // The tree left by the effects of operations up to `upto` with the chosen
  // variants (0 drops an effect).
  Tree render(const std::vector<int>& variant) const {
    std::vector<Inode> in = start;
    for (size_t i = 0; i < variant.size(); ++i) {
      if (variant[i] != 0) apply(in, micros[i], variant[i]);
    }
    Tree t;
    std::function<void(int, const std::string&, int)> walk =
        [&](int d, const std::string& at, int depth) {
          for (const auto& e : in[d].entries) {
            const std::string p = at.empty() ? e.first : at + "/" + e.first;
            t[p] = {in[e.second].kind, in[e.second].bytes};
            if (in[e.second].kind == 'd' && depth < 16)
              walk(e.second, p, depth + 1);
          }
        };
    walk(0, "", 0);
    return t;
  }

  // Whether effect `m` is durable at crash point `k` (after operation k).
  bool durable(const Micro& m, int k, bool ext4) const {
    const bool meta =
        m.kind != Micro::WRITE && (ext4 || m.kind != Micro::TRUNC);
    for (const Barrier& b : barriers) {
      if (b.group <= m.group || b.group > k) continue;
      if (b.ino < 0 || (ext4 && meta) || b.ino == (meta ? m.dir : m.ino))
        return true;
    }
    return false;
  }

  // Variant vectors for the states a power cut after operation k may leave,
  // at most `cap` of them (a fixed-seed sample beyond).
  std::vector<std::vector<int>> states(int k, bool ext4, size_t cap,
                                       bool* sampled) const {
    std::vector<int> base, open;  // 1 for durable effects; the open ones
    for (size_t i = 0; i < micros.size() && micros[i].group <= k; ++i) {
      base.push_back(durable(micros[i], k, ext4) ? 1 : 0);
      if (base.back() == 0) open.push_back(static_cast<int>(i));
    }
    std::vector<std::vector<int>> out;
    std::mt19937 rng(static_cast<unsigned>(k * 2 + ext4));
    if (!ext4) {
      const auto ways = [&](int i) {
        return micros[i].kind == Micro::WRITE ? 4 : 2;
      };
      double total = 1;
      for (int i : open) total *= ways(i);
      *sampled = total > cap;
      for (size_t n = 0; n < cap && n < total; ++n) {
        std::vector<int> v = base;
        size_t code = n;
        for (size_t j = 0; j < open.size(); ++j) {
          const int w = ways(open[j]);
          if (total <= cap) {
            v[open[j]] = static_cast<int>(code % w);
            code /= w;
          } else if (n < 2) {  // all kept, then all lost
            v[open[j]] = n == 0 ? 1 : 0;
          } else if (n < 2 + open.size()) {  // all kept but one
            v[open[j]] = j == n - 2 ? 0 : 1;
          } else {
            v[open[j]] = static_cast<int>(rng() % w);
          }
        }
        out.push_back(v);
      }
      return out;
    }
    // ext4: a prefix of the open name operations (whole operations), and per
    // file a prefix of its open writes.
    std::vector<int> groups;
    std::map<int, std::vector<int>> writes;
    for (int i : open) {
      if (micros[i].kind == Micro::WRITE) {
        writes[micros[i].ino].push_back(i);
      } else if (groups.empty() || groups.back() != micros[i].group) {
        groups.push_back(micros[i].group);
      }
    }
    double total = static_cast<double>(groups.size() + 1);
    for (const auto& w : writes)
      total *= static_cast<double>(w.second.size() + 1);
    *sampled = total > cap;
    for (size_t n = 0; n < cap && n < total; ++n) {
      std::vector<int> v = base;
      size_t code = n;
      const auto pick = [&](size_t choices) {
        if (total > cap) return static_cast<size_t>(rng() % choices);
        const size_t c = code % choices;
        code /= choices;
        return c;
      };
      const size_t p =
          n == 0 && total > cap ? groups.size() : pick(groups.size() + 1);
      const int lastGroup = p == 0 ? -1 : groups[p - 1];
      std::set<std::pair<int, int>> forced;  // (inode, up to group)
      for (int i : open) {
        const Micro& m = micros[i];
        if (m.kind == Micro::WRITE || m.group > lastGroup) continue;
        v[i] = 1;
        if (m.replace) forced.insert({m.ino, m.group});
      }
      for (const auto& w : writes) {
        size_t keep =
            n == 0 && total > cap ? w.second.size() : pick(w.second.size() + 1);
        for (size_t j = 0; j < w.second.size(); ++j) {
          for (const auto& f : forced) {
            if (f.first == w.first && micros[w.second[j]].group < f.second) {
              keep = std::max(keep, j + 1);
            }
          }
        }
        for (size_t j = 0; j < keep; ++j) v[w.second[j]] = 1;
      }
      out.push_back(v);
    }
    return out;
  }
};

std::string key(const Tree& t) {
  std::string k;
  for (const auto& e : t) {
    k += e.first + '\0' + e.second.first +
         std::to_string(e.second.second.size()) + '\0' + e.second.second + '\0';
  }
  return k;
}

// Whether every file's bytes of `old` are somewhere in `t`.
bool keeps(const Tree& t, const Tree& old) {
  std::set<std::string> have;
  for (const auto& e : t) {
    if (e.second.first == 'f') have.insert(e.second.second);
  }
  for (const auto& e : old) {
    if (e.second.first == 'f' && !have.count(e.second.second)) return false;
  }
  return true;
}

std::string listing(const Tree& t) {
  std::string s;
  for (const auto& e : t) {
    s += "  " + e.first + (e.second.first == 'd' ? "/" : "") +
         (e.second.first == 'f'
              ? " (" + std::to_string(e.second.second.size()) + " B)"
              : "") +
         "\n";
  }
  return s;
}

// The lines of `got` that `want` lacks, and those it lacks of `want`.
std::string differences(const std::string& got, const std::string& want) {
  std::set<std::string> a, b;
  std::istringstream ga(got), wb(want);
  for (std::string l; std::getline(ga, l);) a.insert(l);
  for (std::string l; std::getline(wb, l);) b.insert(l);
  std::string s;
  for (const std::string& l : a) s += b.count(l) ? "" : "  + " + l + "\n";
  for (const std::string& l : b) s += a.count(l) ? "" : "  - " + l + "\n";
  return s;
}

// --- Scenarios ---

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path.c_str(), std::ios::binary) << bytes;
}

// A workspace at dir/index.ini: record 2, an album with `files` - 1 data
// files and a cover child with another; record 4, a note.
void base(const std::string& dir, const std::string& at = "", int files = 2) {
  const std::string root = dir + at;
  fs::create_directories(root + "/data");
  SpaceMan ws;
  ws.init(root + "/index.ini", "data");
  std::shared_ptr<StructConfig> album = ws.newStruct();
  album->setType("album");
  writeBytes(album->newFile("pixels"), std::string(2000, 'a') + at);
  for (int i = 2; i < files; ++i) {
    writeBytes(album->newFile("page" + std::to_string(i)), std::to_string(i));
  }
  std::shared_ptr<StructConfig> cover = album->newChildStruct("cover");
  cover->setType("photo");
  writeBytes(cover->newFile("pixels"), std::string(1500, 'c') + at);
  ws.newStruct()->addStr("label", "note");
  ws.save();
}

// What a scenario starts from: nothing, the base workspace (with 12 data
// files in record 2's tree), a second one at src/ to copy from, an orphan
// data file, or a count that is wrong.
enum Setup { NOTHING, BASE, BASE12, SOURCE, ORPHAN, BADCOUNT };

void prepare(Setup what, const std::string& d) {
  if (what != NOTHING) base(d, "", what == BASE12 ? 12 : 2);
  if (what == SOURCE) base(d, "/src");
  if (what != ORPHAN && what != BADCOUNT) return;
  SpaceMan ws;
  ws.load(d + "/index.ini");
  if (what == ORPHAN) {
    writeBytes(d + "/data/" + ws.randfile(9, "lost"), "an orphan");
  } else {
    ws.getStruct(2)->getChildStruct("cover")->intrefcount = 4;
    ws.save();
  }
}

enum Expect {
  NEW = 0,     // every state is the old or the new workspace
  KILLED = 1,  // dies before saving: every state is the old workspace
  KEEP = 2,    // and the new states keep every old file's bytes somewhere
};

struct Scenario {
  const char* name;
  Setup setup;
  const char* command;  // "driver" or "vorla" and arguments; @ is the folder
  int expect;
  const char* index;
};

const Scenario kScenarios[] = {
    {"init", NOTHING, "vorla init @/ws/index.ini", NEW, "ws/index.ini"},
    {"save after edits", BASE, "driver edits @", NEW, "index.ini"},
    {"newFile, write, save", BASE, "driver newfile @", NEW, "index.ini"},
    {"newFile, write, fsync, save", BASE, "driver newfile-fsync @", NEW,
     "index.ini"},
    {"40 new files, save", BASE, "driver newfiles @", NEW, "index.ini"},
    {"release, save", BASE, "driver release @", NEW, "index.ini"},
    {"release of 12 files, save", BASE12, "driver release @", NEW, "index.ini"},
    {"release, killed", BASE, "driver release-kill @", KILLED, "index.ini"},
    {"import, save", SOURCE, "driver import @", NEW, "index.ini"},
    {"vorla copy", SOURCE, "vorla copy @/src/index.ini 2 @/index.ini", NEW,
     "index.ini"},
    {"vorla gc --delete", ORPHAN, "vorla gc --delete --grace 0 @/index.ini",
     KEEP, "index.ini"},
    {"vorla check --fix-counts", BADCOUNT,
     "vorla check --fix-counts @/index.ini", KEEP, "index.ini"},
};

// Runs the scenario's program in `dir`, preloading the recorder when `log`
// is given. Returns the wait status.
int runProgram(const Scenario& s, const std::string& dir,
               const std::string& log) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<std::string> args;
    std::istringstream words(s.command);
    for (std::string a; words >> a;) {
      if (a == "driver") a = VORLA_CRASH_DRIVER;
      if (a == "vorla") a = VORLA_CRASH_TOOL;
      args.push_back(a[0] == '@' ? dir + a.substr(1) : a);
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    if (!log.empty()) {
      ::setenv("VORLA_REC_ROOT", dir.c_str(), 1);
      ::setenv("VORLA_REC_LOG", log.c_str(), 1);
      ::setenv("LD_PRELOAD", VORLA_CRASH_RECORDER, 1);
    }
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

bool exitedAsMeant(const Scenario& s, int status) {
  if (s.expect & KILLED)
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class Scratch : public ::testing::Test {
 protected:
  Scratch() {
    std::string tmpl =
        (fs::temp_directory_path() / "vorla-explore-XXXXXX").string();
    top = ::mkdtemp(&tmpl[0]);
  }
  ~Scratch() override { fs::remove_all(top); }
  std::string top;
};

class CrashExplorerTest : public Scratch {};

TEST_F(CrashExplorerTest, EveryStateIsTheOldOrTheNewWorkspace) {
#ifdef VORLA_CRASH_NO_RECORDER
  GTEST_SKIP()
      << "sanitized build: the preloaded recorder does not mix with the "
         "sanitizer runtime";
#endif
  const char* capText = std::getenv("VORLA_CRASH_CAP");
  const size_t cap =
      capText != nullptr ? std::strtoul(capText, nullptr, 10) : 256;
  const std::string dir = fs::canonical(top).string() + "/ws",
                    log = top + "/log", rebuilt = top + "/state";
  for (const Scenario& s : kScenarios) {
    SCOPED_TRACE(s.name);
    fs::remove_all(dir);
    fs::remove(log);
    fs::create_directories(dir);
    prepare(s.setup, dir);
    const Tree before = readTree(dir);
    ASSERT_TRUE(exitedAsMeant(s, runProgram(s, dir, log)));
    const Tree after = readTree(dir);
    const Model model(before, readLog(log, dir));
    ASSERT_EQ("", model.error);
    std::vector<int> all(model.micros.size(), 1);
    ASSERT_EQ(key(after), key(model.render(all)))
        << "the log does not replay the run";
    writeTree(before, rebuilt);
    const std::string old = describe(rebuilt + "/" + s.index);
    const std::string now =
        (s.expect & KILLED) ? old : describe(dir + "/" + s.index);
    EXPECT_EQ(now, describe(dir + "/" + s.index))
        << "the directory the program left is not the workspace it saved";
    // Long runs get fewer states per crash point, about 8 * cap in all.
    const size_t perPoint =
        std::max<size_t>(8, std::min<size_t>(cap, cap * 8 / (model.ops + 1)));
    for (const bool ext4 : {false, true}) {
      std::set<std::string> seen;
      size_t made = 0, states = 0, bad = 0, sampled = 0;
      for (int k = 0; k <= model.ops; ++k) {
        bool cut = false;
        const std::vector<std::vector<int>> found =
            model.states(k, ext4, perPoint, &cut);
        made += found.size();
        sampled += cut ? 1 : 0;
        for (const std::vector<int>& v : found) {
          const Tree t = model.render(v);
          const bool returned = k == model.ops;
          if (!seen.insert(key(t) + (returned ? "R" : "")).second) continue;
          ++states;
          writeTree(t, rebuilt);
          const std::string d = describe(rebuilt + "/" + s.index);
          const bool ok =
              (d == now && (!(s.expect & KEEP) || keeps(t, before))) ||
              (d == old && !returned);
          if (!ok && ++bad <= 2) {
            ADD_FAILURE()
                << (ext4 ? "ext4" : "posix") << " state after operation " << k
                << " of " << model.ops << (returned ? " (call returned)" : "")
                << " is neither the old nor the new workspace; files:\n"
                << listing(t)
                << "differs from the new one in (+ has, - lacks):\n"
                << differences(d, now);
          }
        }
      }
      std::cout << s.name << ": " << (ext4 ? "ext4" : "posix") << " model, "
                << model.ops << " operations, " << made << " states ("
                << sampled << " crash points sampled), " << states
                << " distinct ones checked, " << bad << " wrong" << std::endl;
    }
  }
}

// --- A real power cut ---

const unsigned long kShutdown =
    0x8004587D;                  // EXT4_IOC_SHUTDOWN, _IOR('X', 125, u32)
const unsigned kNoLogFlush = 2;  // EXT4_GOING_FLAGS_NOLOGFLUSH

class PowerCutTest : public Scratch {
 protected:
  ~PowerCutTest() override {
    if (mounted) ::umount2(mnt.c_str(), MNT_DETACH);
    if (!loop.empty())
      std::system(("losetup -d " + loop + " 2>/dev/null").c_str());
  }
  // Why the test cannot run here, or "" once the image is mounted.
  std::string mountImage() {
    if (::geteuid() != 0) return "needs root";
    img = top + "/ext4.img";
    mnt = top + "/mnt";
    fs::create_directories(mnt);
    const std::string mk = "truncate -s 64M " + img + " && mkfs.ext4 -q -F " +
                           img + " >/dev/null 2>&1";
    if (std::system(mk.c_str()) != 0) return "mkfs.ext4 failed (e2fsprogs)";
    FILE* p =
        ::popen(("losetup -f --show " + img + " 2>/dev/null").c_str(), "r");
    char buf[256] = {};
    if (p == nullptr || std::fgets(buf, sizeof(buf), p) == nullptr) {
      if (p) ::pclose(p);
      return "no loop device (losetup failed)";
    }
    ::pclose(p);
    loop = buf;
    loop.erase(loop.find_last_not_of("\n") + 1);
    return remount() ? "" : "cannot mount the image";
  }
  bool remount() {
    mounted = ::mount(loop.c_str(), mnt.c_str(), "ext4", 0, nullptr) == 0;
    return mounted;
  }
  // The power cut: the file system stops, its journal not flushed.
  bool cut() {
    const int fd = ::open(mnt.c_str(), O_RDONLY | O_DIRECTORY);
    unsigned flags = kNoLogFlush;
    const bool done = fd >= 0 && ::ioctl(fd, kShutdown, &flags) == 0;
    if (fd >= 0) ::close(fd);
    mounted = ::umount2(mnt.c_str(), 0) != 0;
    return done && !mounted;
  }
  std::string img, mnt, loop;
  bool mounted = false;
};

TEST_F(PowerCutTest, ShutdownRightAfterTheCallKeepsTheNewWorkspace) {
  const std::string why = mountImage();
  if (!why.empty()) GTEST_SKIP() << "no real power cut: " << why;
  int runs = 0, lost = 0;
  for (const Scenario& s : kScenarios) {
    for (int run = 0; run < 3; ++run) {
      SCOPED_TRACE(std::string(s.name) + ", run " + std::to_string(run));
      const std::string dir = mnt + "/run" + std::to_string(runs++);
      fs::create_directories(dir);
      prepare(s.setup, dir);
      const Tree before = readTree(dir);
      const std::string old = describe(dir + "/" + s.index);
      ::sync();
      ASSERT_TRUE(exitedAsMeant(s, runProgram(s, dir, "")));
      const std::string now = describe(dir + "/" + s.index);
      if (s.expect & KILLED) {
        EXPECT_EQ(old, now) << "the killed program's directory is not the "
                               "workspace saved before";
      }
      ASSERT_TRUE(cut());
      ASSERT_TRUE(remount());
      const std::string got = describe(dir + "/" + s.index);
      const std::string want = s.expect & KILLED ? old : now;
      const bool ok =
          got == want && (!(s.expect & KEEP) || keeps(readTree(dir), before));
      lost += ok ? 0 : 1;
      EXPECT_TRUE(ok) << "after the cut, files:\n"
                      << listing(readTree(dir))
                      << "differs from the new workspace in (+ has, - lacks):\n"
                      << differences(got, want);
    }
  }
  std::cout << runs << " power cuts, " << lost
            << " left another workspace than expected" << std::endl;
}

}  // namespace
}  // namespace vorla
