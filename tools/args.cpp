#include "tools/args.h"

#include <sys/stat.h>  // mkdir, stat

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tools/output.h"
#include "workspace/progress.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {
namespace tool {

std::string InUse::holderOf(const WriterConflict& e) {
  if (e.holder() > 0)
    return " (held by process " + std::to_string(e.holder()) + ")";
  if (e.kind() == WriterConflict::CHANGED_ON_DISK)
    return " (another process saved it)";
  return "";
}

bool Args::has(const std::string& flag) const {
  for (const std::string& f : flags) {
    if (f == flag) return true;
  }
  return false;
}

const std::string* Args::value(const std::string& name) const {
  const std::string* found = nullptr;
  for (const auto& v : values) {
    if (v.first == name) found = &v.second;
  }
  return found;
}

Args parseArgs(int argc, char** argv, int first, const std::string& command,
               const std::vector<std::string>& flags,
               const std::vector<std::string>& valued) {
  Args args;
  args.command = command;
  const std::string hint = " (run 'vorla " + command + " --help')";
  bool options = true;
  for (int i = first; i < argc; ++i) {
    const std::string a = argv[i];
    if (!options || a.size() < 2 || a[0] != '-') {
      args.operands.push_back(a);
      continue;
    }
    if (a == "--") {
      options = false;
      continue;
    }
    if (a == "--help" || a == "-h") {
      args.help = true;
      continue;
    }
    const std::string::size_type eq = a.find('=');
    const std::string name = a.substr(0, eq);
    bool known = false;
    for (const std::string& v : valued) {
      if (v != name) continue;
      known = true;
      if (eq != std::string::npos) {
        args.values.emplace_back(name, a.substr(eq + 1));
      } else if (i + 1 < argc) {
        args.values.emplace_back(name, argv[++i]);
      } else {
        throw Failure(command, "option " + name + " needs a value" + hint);
      }
    }
    for (const std::string& f : flags) {
      if (f == a) {
        known = true;
        args.flags.push_back(a);
      }
    }
    if (!known) throw Failure(command, "unknown option " + quoted(a) + hint);
  }
  return args;
}

void needOperands(const Args& args, std::size_t min, std::size_t max) {
  const std::string hint = " (run 'vorla " + args.command + " --help')";
  if (args.operands.size() < min) {
    throw Failure(args.command, "missing argument" + hint);
  }
  if (args.operands.size() > max) {
    throw Failure(args.command,
                  "unexpected argument " + quoted(args.operands[max]) + hint);
  }
}

unsigned parseId(const std::string& command, const std::string& text) {
  uint64_t v = 0;
  bool ok = !text.empty() && text.size() <= 10;
  for (char c : text) {
    if (c < '0' || c > '9') ok = false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (!ok || v > 0xffffffffu) {
    throw Failure(command, "invalid record id " + quoted(text));
  }
  return static_cast<unsigned>(v);
}

double parseWait(const Args& args) {
  const std::string* text = args.value("--wait");
  if (text == nullptr) return 0;
  std::size_t digits = 0, dots = 0;
  for (char c : *text) {
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if (c == '.') {
      ++dots;
    } else {
      dots = 2;
    }
  }
  if (digits == 0 || dots > 1 || text->size() > 12 || (*text)[0] == '.') {
    throw Failure(args.command, "invalid number of seconds " + quoted(*text));
  }
  return std::stod(*text);
}

void lockWorkspace(WriterLock& lock, const std::string& index, double wait) {
  lock.setWait(wait);
  try {
    lock.hold(index);
  } catch (const WriterConflict& e) {
    throw InUse(index, e);
  } catch (const std::runtime_error& e) {
    throw Failure(index, e.what());
  }
}

void loadWorkspace(SpaceMan& ws, const std::string& path, Progress& progress) {
  progress.phase("loading " + displayText(path));
  try {
    ws.load(path);
  } catch (const std::runtime_error& e) {
    progress.clear();
    throw Failure(path, e.what());
  }
  progress.clear();
}

void saveWorkspace(SpaceMan& ws) {
  try {
    ws.save();
  } catch (const WriterConflict& e) {
    throw InUse(ws.mainfile(), e);
  } catch (const std::runtime_error& e) {
    throw Failure(ws.mainfile(), e.what());
  }
}

ProgressFn progressOf(Progress& progress, const std::string& what) {
  return [&progress, what](std::size_t done, std::size_t total) {
    progress.update(what, done, total);
  };
}

void makeDirs(const std::string& dir) {
  struct stat st;
  if (dir.empty()) return;
  if (::stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) throw Failure(dir, "not a directory");
    return;
  }
  const std::string::size_type slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0) makeDirs(dir.substr(0, slash));
  if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
    throw Failure(dir, "cannot create directory");
  }
}

}  // namespace tool
}  // namespace vorla
