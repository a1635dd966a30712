#include "tools/args.h"

#include <sys/stat.h>  // stat

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>  // strerror
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tools/output.h"
#include "utils/posix_file.h"
#include "workspace/progress.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {
namespace tool {

const char kExitStatusHelp[] =
    "Exit status:\n"
    "  0  success\n"
    "  1  findings: check found something wrong (or, where a command's help\n"
    "     says so, there was nothing to do)\n"
    "  2  usage error: the command line is wrong; nothing was done\n"
    "  3  the workspace cannot be read or written: an I/O error, an index\n"
    "     file that does not parse, or one that looks damaged\n"
    "  4  the record named on the command line does not exist\n"
    "  5  another process holds the workspace, or saved it while the\n"
    "     command ran: nothing was changed, run the command again later\n";

namespace {

// Who holds the workspace, when a writer lock conflict says.
std::string holderOf(const Error& e) {
  const WriterConflict* conflict = dynamic_cast<const WriterConflict*>(&e);
  if (conflict == nullptr) return "";
  if (conflict->holder() > 0)
    return " (held by process " + std::to_string(conflict->holder()) + ")";
  if (conflict->kind() == WriterConflict::CHANGED_ON_DISK)
    return " (another process saved it)";
  return "";
}

const char* codeOfStatus(int status) {
  switch (status) {
    case kFound:
      return "found";
    case kUsage:
      return "usage";
    case kNoRecord:
      return "no_such_record";
    case kInUse:
      return "in_use";
    default:
      return "io";
  }
}

// "PATH" or "PATH:LINE", escaped.
std::string location(const std::string& path, std::size_t line) {
  if (path.empty()) return "";
  std::string where = displayText(path);
  if (line > 0) where += ":" + std::to_string(line);
  return where;
}

std::string withContext(const std::string& context,
                        const std::string& message) {
  return context.empty() ? message : context + ": " + message;
}

}  // namespace

int statusOf(Error::Code code) {
  switch (code) {
    case Error::WORKSPACE_IN_USE:
    case Error::CHANGED_ON_DISK:
      return kInUse;
    default:
      return kBroken;
  }
}

Failure::Failure(const std::string& context, const std::string& message,
                 int status, const std::string& code, const std::string& path)
    : std::runtime_error(withContext(context, message)),
      bare(message),
      exitStatus(status),
      name(code),
      file(path) {}

Failure::Failure(const std::string& path, const std::string& message,
                 int status, const char* code)
    : Failure(location(path, 0), message, status,
              code != nullptr ? code : codeOfStatus(status), path) {}

Failure::Failure(const std::string& path, const Error& e,
                 const std::string& note)
    : Failure(location(e.path().empty() ? path : e.path(), e.line()),
              (note.empty() ? "" : note + ": ") + e.what() +
                  (e.sysErrno() != 0
                       ? std::string(": ") + std::strerror(e.sysErrno())
                       : std::string()) +
                  holderOf(e),
              statusOf(e.code()), Error::codeName(e.code()),
              e.path().empty() ? path : e.path()) {
  lineNo = e.line();
  errnum = e.sysErrno();
  library = true;
  libraryCode = e.code();
}

Failure Failure::usage(const std::string& command, const std::string& message) {
  return Failure(displayText(command), message, kUsage, "usage", "");
}

std::string Failure::json() const {
  std::string o = "{\"error\":{\"code\":";
  appendJson(o, name);
  o += ",\"message\":";
  appendJson(o, bare);
  o += ",\"path\":";
  if (file.empty()) {
    o += "null";
  } else {
    appendJson(o, file);
  }
  o += ",\"line\":" + (lineNo > 0 ? std::to_string(lineNo) : "null");
  o += ",\"errno\":" + (errnum != 0 ? std::to_string(errnum) : "null");
  o += ",\"exit\":" + std::to_string(exitStatus) + "}}\n";
  return o;
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
        throw Failure::usage(command,
                             "option " + name + " needs a value" + hint);
      }
    }
    for (const std::string& f : flags) {
      if (f == a) {
        known = true;
        args.flags.push_back(a);
      }
    }
    if (!known) {
      throw Failure::usage(command, "unknown option " + quoted(a) + hint);
    }
  }
  return args;
}

void needOperands(const Args& args, std::size_t min, std::size_t max) {
  const std::string hint = " (run 'vorla " + args.command + " --help')";
  if (args.operands.size() < min) {
    throw Failure::usage(args.command, "missing argument" + hint);
  }
  if (args.operands.size() > max) {
    throw Failure::usage(args.command, "unexpected argument " +
                                           quoted(args.operands[max]) + hint);
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
    throw Failure::usage(command, "invalid record id " + quoted(text));
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
    throw Failure::usage(args.command,
                         "invalid number of seconds " + quoted(*text));
  }
  return std::stod(*text);
}

void lockWorkspace(WriterLock& lock, const std::string& index, double wait) {
  lock.setWait(wait);
  try {
    lock.hold(index);
  } catch (const Error& e) {
    throw Failure(index, e);
  }
}

void loadWorkspace(SpaceMan& ws, const std::string& path, Progress& progress) {
  progress.phase("loading " + displayText(path));
  try {
    ws.load(path);
  } catch (const Error& e) {
    progress.clear();
    throw Failure(path, e);
  }
  progress.clear();
}

void saveWorkspace(SpaceMan& ws) {
  try {
    ws.save();
  } catch (const Error& e) {
    throw Failure(ws.mainfile(), e);
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
    if (!S_ISDIR(st.st_mode)) throw Failure(dir, "not a directory", kBroken);
    return;
  }
  const std::string::size_type slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0) makeDirs(dir.substr(0, slash));
  // Synced into its parent before anything is put in it, so that what is
  // put there cannot outlive it in a power cut.
  if (!utils::make_directory_durable(dir) && errno != EEXIST) {
    const int err = errno;
    throw Failure(dir,
                  std::string("cannot create directory: ") + std::strerror(err),
                  kBroken);
  }
}

}  // namespace tool
}  // namespace vorla
