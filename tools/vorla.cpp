// vorla: create, inspect, check and repair workspaces from the shell.
//
// All the work is done by the library (SpaceMan and workspace/check.h);
// this file parses arguments, prints, and turns outcomes into exit codes:
// 0 success, 1 check found something wrong or gc could not delete a file,
// 2 a usage error or a workspace that could not be read or written, 5 the
// workspace is in use by another process.

#include <sys/stat.h>  // mkdir, stat
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tools/output.h"
#include "utils/file_utils.h"
#include "workspace/check.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {
namespace tool {
namespace {

const int kOk = 0;
const int kFound = 1;
const int kError = 2;
// Codes 3 and 4 are kept for later use.
const int kInUse = 5;

const char kUsage[] =
    "usage: vorla COMMAND [OPTIONS] ARGS\n"
    "\n"
    "Commands:\n"
    "  init INDEX [RELDATADIR]     create an empty workspace and its data "
    "directory\n"
    "  show [--json] INDEX [ID]    print the records as a tree, or as JSON\n"
    "  check [--fix-counts] INDEX  report what is wrong with a workspace\n"
    "  gc [--delete] [--grace AGE] INDEX\n"
    "                              list or delete data files no record names\n"
    "  copy SRC_INDEX ID DST_INDEX copy a record tree into another workspace\n"
    "  stats [--json] INDEX        count records, items and data files\n"
    "\n"
    "init, check --fix-counts, gc --delete and copy hold the workspace's\n"
    "writer lock while they work; --wait SECONDS lets them wait that long\n"
    "for another process that holds it.\n"
    "\n"
    "Run 'vorla COMMAND --help' for more, 'vorla --version' for the version.\n"
    "Exit status: 0 success, 1 check found something wrong (or gc could not\n"
    "delete a file), 2 usage error or a workspace that could not be read or\n"
    "written, 5 another process holds the workspace (or saved it while the\n"
    "command ran): nothing was changed, run the command again later.\n"
    "\n"
    "Names, texts and paths are never printed raw: one that holds a control\n"
    "character or a byte that is not valid UTF-8 is printed in double quotes\n"
    "with those escaped (\\n, \\r, \\t, \\xNN such as \\x1b).\n";

const char kInitHelp[] =
    "usage: vorla init [--force] [--wait SECONDS] INDEX [RELDATADIR]\n"
    "\n"
    "Writes a new, empty workspace to the index file INDEX and creates its\n"
    "data directory, RELDATADIR (default \"data\") beside the index file,\n"
    "and any missing directory above them.\n"
    "An existing INDEX is left alone unless --force is given, and even then\n"
    "while another process holds the workspace (exit status 5; --wait\n"
    "waits up to SECONDS for it).\n";

const char kShowHelp[] =
    "usage: vorla show [--json] INDEX [ID]\n"
    "\n"
    "Prints the records as trees: each record with an external reference,\n"
    "its items, and the records its child items name indented below it.\n"
    "A record reached a second time is not repeated. File items show the\n"
    "data file's size, or \"missing\". Records that no tree reaches are\n"
    "listed apart at the end. With ID, only the tree of that record.\n"
    "\n"
    "--json prints one JSON object instead: the workspace's paths and\n"
    "counter, and \"records\", every record (of the tree of ID, with ID) in\n"
    "ascending id order with its counts, whether a tree reaches it, and its\n"
    "items. Texts are UTF-8; a byte that is not valid UTF-8 is written as\n"
    "the character of the same number (\\u0080 to \\u00ff), and control\n"
    "characters (C0, DEL, C1) are escaped.\n";

const char kCheckHelp[] =
    "usage: vorla check [--fix-counts] [--wait SECONDS] INDEX\n"
    "\n"
    "Checks a workspace and names each finding with its record and item:\n"
    "  dangling-child     a child item names a record that does not exist\n"
    "  count-mismatch     a record's internal count differs from the number\n"
    "                     of child items that name it\n"
    "  unkept-record      no external reference and no child item keeps it\n"
    "  cycle              child items lead back to where they started\n"
    "  missing-file       a file item's data file is not there\n"
    "  shared-file        two file items name the same data file\n"
    "  invalid-file-name  a stored file name is not a plain name (the\n"
    "                     library refuses to load such an index file)\n"
    "  orphan-file        a data file that no file item names\n"
    "Exits 0 when the workspace is sound, 1 when anything is wrong.\n"
    "\n"
    "--fix-counts sets every internal count to the recomputed one, saves\n"
    "the workspace and prints what it changed, then checks the result. It\n"
    "holds the workspace's writer lock from before it reads the workspace;\n"
    "while another process holds it, it changes nothing and exits 5 (--wait\n"
    "waits up to SECONDS for it).\n";

const char kGcHelp[] =
    "usage: vorla gc [--delete] [--grace AGE] [--wait SECONDS] INDEX\n"
    "\n"
    "Lists the data files that no record names (left by crashes or by\n"
    "copies that failed); with --delete, deletes them and prints what it\n"
    "deleted. Files younger than the grace age are never touched, as a\n"
    "running process may have created one for a record that its index file\n"
    "does not name yet. AGE is a number of seconds, or a number followed\n"
    "by s, m, h or d; the default is 1h. Only files with the names the\n"
    "library gives data files are considered; the data directory must not\n"
    "be shared with another workspace. The temporary files that saves\n"
    "killed half-way left beside the index file (.vorla-XXXXXX) are listed\n"
    "and deleted alike.\n"
    "\n"
    "--delete holds the workspace's writer lock from before it reads the\n"
    "workspace, so no running process that writes through the library has\n"
    "unsaved data files meanwhile; while another process holds it, nothing\n"
    "is deleted and the exit status is 5 (--wait waits up to SECONDS for it).\n"
    "The grace age still protects what the lock cannot: files of programs\n"
    "that write without it, and files being put in place by hand.\n";

const char kCopyHelp[] =
    "usage: vorla copy [--wait SECONDS] SRC_INDEX ID DST_INDEX\n"
    "\n"
    "Copies record ID of the workspace SRC_INDEX, with its child records\n"
    "and data files, into a new top-level record of DST_INDEX (which may be\n"
    "the same workspace), saves DST_INDEX and prints the new record's id.\n"
    "DST_INDEX's data directory is created when it is missing. DST_INDEX's\n"
    "writer lock is held from before it is read; while another process\n"
    "holds it, nothing is copied and the exit status is 5 (--wait waits up\n"
    "to SECONDS for it). SRC_INDEX is only read.\n";

const char kStatsHelp[] =
    "usage: vorla stats [--json] INDEX\n"
    "\n"
    "Prints the number of records, items by type, data files with their\n"
    "total size, and orphan data files.\n";

// A failure to report as "vorla: CONTEXT: MESSAGE" with exit status 2.
// CONTEXT is a command name or a path, which may come from the command line
// or from an index file; it is escaped here, and any text the message
// quotes is escaped by whoever builds the message.
class Failure : public std::runtime_error {
 public:
  Failure(const std::string& context, const std::string& message)
      : std::runtime_error(
            context.empty() ? message : displayText(context) + ": " + message) {
  }
};

// Another process holds the workspace (or saved it after this command read
// it): reported like a Failure, with exit status 5.
class InUse : public Failure {
 public:
  InUse(const std::string& context, const WriterConflict& e)
      : Failure(context, e.what() + holderOf(e)) {}

 private:
  static std::string holderOf(const WriterConflict& e) {
    if (e.holder() > 0)
      return " (held by process " + std::to_string(e.holder()) + ")";
    if (e.kind() == WriterConflict::CHANGED_ON_DISK)
      return " (another process saved it)";
    return "";
  }
};

// The parsed command line of one command: its options and its operands.
struct Args {
  std::string command;
  std::vector<std::string> operands;
  std::vector<std::string> flags;   // "--json"
  std::vector<std::string> valued;  // names of options that take a value
  std::vector<std::pair<std::string, std::string> > values;
  bool help = false;

  bool has(const std::string& flag) const {
    for (const std::string& f : flags) {
      if (f == flag) return true;
    }
    return false;
  }
  const std::string* value(const std::string& name) const {
    const std::string* found = nullptr;
    for (const auto& v : values) {
      if (v.first == name) found = &v.second;
    }
    return found;
  }
};

// Splits argv[first..] into options and operands. `flags` and `valued`
// list the options the command knows; "--" ends the options.
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

// Seconds, or a number followed by s, m, h or d.
int64_t parseAge(const std::string& command, const std::string& text) {
  std::size_t digits = 0;
  int64_t v = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' &&
         digits < 12) {
    v = v * 10 + (text[digits] - '0');
    ++digits;
  }
  const std::string unit = text.substr(digits);
  int64_t scale = 0;
  if (unit.empty() || unit == "s") scale = 1;
  if (unit == "m") scale = 60;
  if (unit == "h") scale = 3600;
  if (unit == "d") scale = 86400;
  if (digits == 0 || scale == 0) {
    throw Failure(command, "invalid age " + quoted(text));
  }
  return v * scale;
}

// Seconds to wait for another process's writer lock: --wait, a decimal
// number (fractions allowed); 0 without it.
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

// Holds the writer lock of INDEX for a command that reads the workspace
// and then writes it, so that no other process changes it in between.
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

// Loads INDEX through the library; any error names the file.
void load(SpaceMan& ws, const std::string& path, Progress& progress) {
  progress.phase("loading " + displayText(path));
  try {
    ws.load(path);
  } catch (const std::runtime_error& e) {
    progress.clear();
    throw Failure(path, e.what());
  }
  progress.clear();
}

void save(SpaceMan& ws) {
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

// Creates `dir` and any missing parent, as mkdir -p does.
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

std::string recordLabel(unsigned id) { return "[" + std::to_string(id) + "]"; }

// "1 record", "2 records".
std::string count(std::size_t n, const std::string& noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// ---------------------------------------------------------------- init

int runInit(const Args& args) {
  needOperands(args, 1, 2);
  const std::string& index = args.operands[0];
  const std::string rel = args.operands.size() > 1 ? args.operands[1] : "data";
  struct stat st;
  if (!args.has("--force") && ::stat(index.c_str(), &st) == 0) {
    throw Failure(index, "file exists (use --force to overwrite)");
  }
  makeDirs(utils::pathname(index));
  SpaceMan ws;
  ws.setLockWait(parseWait(args));
  try {
    ws.init(index, rel);
  } catch (const WriterConflict& e) {
    throw InUse(index, e);
  } catch (const std::runtime_error& e) {
    throw Failure(index, e.what());
  }
  makeDirs(ws.getDatadir());
  Out out;
  out << "created " << displayText(index) << " with data directory "
      << displayText(ws.getDatadir()) << '\n';
  out.flush();
  return kOk;
}

// ---------------------------------------------------------------- show

// File sizes for show: -1 when the data file is missing.
int64_t fileSize(const SpaceMan& ws, const std::string& name) {
  if (!isPlainFileName(name)) return -1;
  struct stat st;
  const std::string path = utils::pathadd(ws.getDatadir(), name);
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

StructConfig* findRecord(const SpaceMan& ws, unsigned id) {
  const SpaceMan::Registry& reg = ws.getStructs();
  auto it = reg.find(static_cast<int>(id));
  return it == reg.end() ? nullptr : it->second.get();
}

const char* typeName(StructConfig::DataItemType t) {
  switch (t) {
    case StructConfig::ITEM_UINT64:
      return "uint64";
    case StructConfig::ITEM_STR:
      return "str";
    case StructConfig::ITEM_FILE:
      return "file";
    case StructConfig::ITEM_CHILD:
      return "child";
    case StructConfig::ITEM_EXTCHILD:
      return "extchild";
    default:
      return "none";
  }
}

bool isChild(const StructConfig::Item& item) {
  return item.type == StructConfig::ITEM_CHILD ||
         item.type == StructConfig::ITEM_EXTCHILD;
}

// The text renderer: a depth-first walk with an explicit stack, so that a
// chain of a million children cannot overflow the call stack. Every record
// is printed in full once; a later reference to it only names it.
class TreePrinter {
 public:
  TreePrinter(const SpaceMan& workspace, Out& output)
      : ws(workspace), out(output) {}

  void tree(unsigned root) {
    StructConfig* rec = findRecord(ws, root);
    if (rec == nullptr) return;
    out << recordLabel(root) << ' ' << header(*rec) << '\n';
    shown.insert(root);
    std::vector<Frame> stack;
    stack.push_back(Frame{rec, rec->items.begin(), 1});
    while (!stack.empty()) {
      Frame& f = stack.back();
      if (f.it == f.rec->items.end()) {
        stack.pop_back();
        continue;
      }
      const std::string& name = f.it->first;
      const StructConfig::Item& item = f.it->second;
      const int depth = f.depth;
      ++f.it;
      indent(depth);
      out << displayName(name) << " = ";
      if (!isChild(item)) {
        value(item);
        continue;
      }
      const unsigned id = static_cast<unsigned>(item.value);
      out << typeName(item.type) << ' ' << recordLabel(id);
      if (item.type == StructConfig::ITEM_EXTCHILD) {
        out << ' ' << quoted(item.str);
      }
      StructConfig* child = findRecord(ws, id);
      if (child == nullptr) {
        out << " (no such record)\n";
      } else if (!shown.insert(id).second) {
        out << " (shown above)\n";
      } else {
        out << ' ' << header(*child) << '\n';
        stack.push_back(Frame{child, child->items.begin(), depth + 1});
      }
    }
  }

  bool wasShown(unsigned id) const { return shown.count(id) != 0; }

 private:
  struct Frame {
    StructConfig* rec;
    StructConfig::ItemMap::const_iterator it;
    int depth;
  };

  std::string header(const StructConfig& rec) {
    return (rec.structtype.empty() ? std::string("(no type)")
                                   : displayName(rec.structtype)) +
           " (ext " + std::to_string(rec.extrefcount) + ", int " +
           std::to_string(rec.intrefcount) + ")";
  }

  void indent(int depth) { out.raw().append(4 * depth, ' '); }

  void value(const StructConfig::Item& item) {
    switch (item.type) {
      case StructConfig::ITEM_UINT64:
        out << item.value << '\n';
        break;
      case StructConfig::ITEM_STR:
        out << quoted(item.str) << '\n';
        break;
      case StructConfig::ITEM_FILE: {
        const int64_t size = fileSize(ws, item.str);
        out << "file " << displayName(item.str)
            << (size < 0 ? std::string(" (missing)")
                         : " (" + humanBytes(static_cast<uint64_t>(size)) + ")")
            << '\n';
        break;
      }
      default:
        out << "(unknown item type)\n";
    }
  }

  const SpaceMan& ws;
  Out& out;
  std::unordered_set<unsigned> shown;
};

void jsonRecord(const SpaceMan& ws, unsigned id, const StructConfig& rec,
                bool reachable, std::string& o) {
  o += "{\"id\":";
  o += std::to_string(id);
  o += ",\"type\":";
  appendJson(o, rec.structtype);
  o += ",\"extrefcount\":";
  o += std::to_string(rec.extrefcount);
  o += ",\"intrefcount\":";
  o += std::to_string(rec.intrefcount);
  o += reachable ? ",\"reachable\":true" : ",\"reachable\":false";
  o += ",\"items\":[";
  bool first = true;
  for (const auto& entry : rec.items) {
    const StructConfig::Item& item = entry.second;
    if (!first) o += ',';
    first = false;
    o += "{\"name\":";
    appendJson(o, entry.first);
    o += ",\"type\":\"";
    o += typeName(item.type);
    o += "\",\"value\":";
    switch (item.type) {
      case StructConfig::ITEM_STR:
        appendJson(o, item.str);
        break;
      case StructConfig::ITEM_FILE: {
        appendJson(o, item.str);
        const int64_t size = fileSize(ws, item.str);
        if (size < 0) {
          o += ",\"size\":null,\"missing\":true";
        } else {
          o += ",\"size\":";
          o += std::to_string(size);
          o += ",\"missing\":false";
        }
        break;
      }
      case StructConfig::ITEM_EXTCHILD:
        o += std::to_string(static_cast<unsigned>(item.value));
        o += ",\"text\":";
        appendJson(o, item.str);
        break;
      case StructConfig::ITEM_CHILD:
        // Only the low 32 bits name a record.
        o += std::to_string(static_cast<unsigned>(item.value));
        break;
      default:
        o += std::to_string(item.value);
    }
    o += '}';
  }
  o += "]}";
}

// The ids of the tree of `root`, in ascending order.
std::vector<unsigned> treeOf(const SpaceMan& ws, unsigned root) {
  std::unordered_set<unsigned> seen{root};
  std::vector<unsigned> todo{root}, ids{root};
  while (!todo.empty()) {
    StructConfig* rec = findRecord(ws, todo.back());
    todo.pop_back();
    for (const auto& entry : rec->items) {
      if (!isChild(entry.second)) continue;
      const unsigned id = static_cast<unsigned>(entry.second.value);
      if (findRecord(ws, id) == nullptr || !seen.insert(id).second) continue;
      todo.push_back(id);
      ids.push_back(id);
    }
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

int runShow(const Args& args) {
  needOperands(args, 1, 2);
  const std::string& index = args.operands[0];
  const bool hasRoot = args.operands.size() > 1;
  const unsigned root = hasRoot ? parseId(args.command, args.operands[1]) : 0;
  Progress progress;
  SpaceMan ws;
  load(ws, index, progress);
  if (hasRoot && findRecord(ws, root) == nullptr) {
    throw Failure(index, "record " + std::to_string(root) + ": cannot find id");
  }
  const std::vector<unsigned> unreachable = unreachableRecords(ws);
  std::unordered_set<unsigned> apart(unreachable.begin(), unreachable.end());
  Out out;

  if (args.has("--json")) {
    std::string& o = out.raw();
    o += "{\"index\":";
    appendJson(o, ws.mainfile());
    o += ",\"datadir\":";
    appendJson(o, ws.getDatadir());
    o += ",\"counter\":";
    o += std::to_string(ws.getCounter());
    o += ",\"records\":[\n";
    std::vector<unsigned> ids;
    if (hasRoot) {
      ids = treeOf(ws, root);
    } else {
      for (const auto& entry : ws.getStructs()) {
        ids.push_back(static_cast<unsigned>(entry.first));
      }
      std::sort(ids.begin(), ids.end());
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
      jsonRecord(ws, ids[i], *findRecord(ws, ids[i]), apart.count(ids[i]) == 0,
                 o);
      o += i + 1 < ids.size() ? ",\n" : "\n";
      if (o.size() > (1 << 20)) out.flush();
      progress.update("writing", i + 1, ids.size());
    }
    o += "]}\n";
    progress.clear();
    out.flush();
    return kOk;
  }

  TreePrinter printer(ws, out);
  if (hasRoot) {
    printer.tree(root);
    out.flush();
    return kOk;
  }
  out << "workspace " << displayText(index) << ", data directory "
      << displayText(ws.getDatadir()) << ", counter " << ws.getCounter() << ", "
      << count(ws.getStructs().size(), "record") << '\n';
  std::vector<unsigned> roots;
  for (const auto& entry : ws.getStructs()) {
    if (entry.second->extrefcount > 0) {
      roots.push_back(static_cast<unsigned>(entry.first));
    }
  }
  std::sort(roots.begin(), roots.end());
  std::size_t done = 0;
  for (unsigned id : roots) {
    if (!printer.wasShown(id)) printer.tree(id);
    progress.update("writing", ++done, roots.size() + unreachable.size());
  }
  if (!unreachable.empty()) {
    out << "\nnot reached from any record with an external reference:\n";
    for (unsigned id : unreachable) {
      if (!printer.wasShown(id)) printer.tree(id);
      progress.update("writing", ++done, roots.size() + unreachable.size());
    }
  }
  progress.clear();
  out.flush();
  return kOk;
}

// ---------------------------------------------------------------- check

std::string where(const Finding& f) {
  std::string s = "record " + std::to_string(f.id);
  if (f.kind != Finding::COUNT_MISMATCH && f.kind != Finding::UNKEPT_RECORD) {
    s += ", item " + quoted(f.item);
  }
  return s;
}

std::string describe(const Finding& f) {
  switch (f.kind) {
    case Finding::DANGLING_CHILD:
      return "dangling-child: " + where(f) + ": names record " +
             std::to_string(f.target) + ", which does not exist";
    case Finding::COUNT_MISMATCH:
      return "count-mismatch: " + where(f) + ": internal count is " +
             std::to_string(f.stored) + ", but " + std::to_string(f.actual) +
             (f.actual == 1 ? " child item names it" : " child items name it");
    case Finding::UNKEPT_RECORD:
      return "unkept-record: " + where(f) +
             ": no external reference and no child item keeps it";
    case Finding::CYCLE: {
      std::string path;
      for (unsigned id : f.path) {
        path += (path.empty() ? "" : " -> ") + std::to_string(id);
      }
      return "cycle: " + where(f) + ": child items lead back: " + path;
    }
    case Finding::MISSING_FILE:
      return "missing-file: " + where(f) + ": data file " +
             displayName(f.file) + " is missing";
    case Finding::SHARED_FILE:
      return "shared-file: " + where(f) + ": data file " + displayName(f.file) +
             " is also named by record " + std::to_string(f.target);
    case Finding::INVALID_FILE_NAME:
      return "invalid-file-name: " + where(f) + ": stored file name " +
             quoted(f.file) + " is not a plain name";
    case Finding::ORPHAN_FILE:
      return "orphan-file: data file " + displayName(f.file) +
             " is named by no record";
  }
  return "unknown finding";
}

int runCheck(const Args& args) {
  needOperands(args, 1, 1);
  const std::string& index = args.operands[0];
  const double wait = parseWait(args);
  WriterLock lock;
  if (args.has("--fix-counts")) lockWorkspace(lock, index, wait);
  Progress progress;
  SpaceMan ws;
  progress.phase("loading " + displayText(index));
  try {
    ws.load(index);
  } catch (const std::runtime_error& e) {
    progress.clear();
    // The reader refuses an index file whose stored file names are not
    // plain names, so that no data file path can leave the data directory;
    // for check that is a finding about the file, not a failure to run.
    if (std::string(e.what()) != "invalid file name") {
      throw Failure(index, e.what());
    }
    Out out;
    out << "invalid-file-name: " << displayText(index)
        << ": a file item holds a stored file name that is not a plain name "
           "(empty, \".\", \"..\", or holding \"/\" or \"\\\"); the library "
           "refuses to load the index file, so the record cannot be named "
           "here: edit the file by hand\n"
        << displayText(index) << ": 1 finding\n";
    out.flush();
    return kFound;
  }
  progress.clear();
  Out out;
  if (args.has("--fix-counts")) {
    const std::vector<CountFix> fixes = fixInternalCounts(ws);
    for (const CountFix& fix : fixes) {
      out << "fixed: record " << fix.id << ": internal count " << fix.stored
          << " -> " << fix.actual << '\n';
    }
    if (!fixes.empty()) {
      save(ws);
      out << "saved " << displayText(index) << '\n';
    }
  }
  CheckReport report;
  try {
    report = checkWorkspace(ws, progressOf(progress, "checking"));
  } catch (const std::runtime_error& e) {
    throw Failure(ws.getDatadir(), e.what());
  }
  progress.clear();
  for (const Finding& f : report.findings) out << describe(f) << '\n';
  out << displayText(index) << ": " << count(report.records, "record") << ", "
      << (report.findings.empty() ? std::string("sound")
                                  : count(report.findings.size(), "finding"))
      << '\n';
  out.flush();
  return report.findings.empty() ? kOk : kFound;
}

// ---------------------------------------------------------------- gc

int runGc(const Args& args) {
  needOperands(args, 1, 1);
  const std::string& index = args.operands[0];
  const std::string* graceText = args.value("--grace");
  const int64_t grace = graceText ? parseAge(args.command, *graceText) : 3600;
  const bool remove = args.has("--delete");
  const double wait = parseWait(args);
  // With the lock held, no process that writes through the library can
  // have made a data file that its index file does not name yet.
  WriterLock lock;
  if (remove) lockWorkspace(lock, index, wait);
  Progress progress;
  SpaceMan ws;
  load(ws, index, progress);
  // Orphan data files, then what killed saves left beside the index file.
  struct Candidate {
    const std::string* dir;
    OrphanFile file;
  };
  const std::string datadir = ws.getDatadir();
  const std::string savedir = saveDirectory(ws);
  std::vector<Candidate> candidates;
  std::size_t orphans = 0;
  try {
    for (const OrphanFile& f : findOrphanFiles(ws))
      candidates.push_back(Candidate{&datadir, f});
    orphans = candidates.size();
  } catch (const std::runtime_error& e) {
    throw Failure(datadir, e.what());
  }
  try {
    for (const OrphanFile& f : findSaveLeftovers(ws))
      candidates.push_back(Candidate{&savedir, f});
  } catch (const std::runtime_error& e) {
    throw Failure(savedir, e.what());
  }
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  Out out;
  std::size_t old = 0, removed = 0, failed = 0;
  uint64_t bytes = 0, removedBytes = 0;
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    const OrphanFile& f = candidates[k].file;
    const std::string name =
        k < orphans ? displayName(f.name)
                    : displayName(f.name) + " (unfinished save of the index)";
    bytes += f.size;
    const bool young = now - f.mtime < grace;
    if (!young) ++old;
    if (!remove) {
      out << name << "  " << humanBytes(f.size) << "  "
          << humanAge(now - f.mtime) << " old"
          << (young ? "  (younger than the grace age, kept)" : "") << '\n';
      continue;
    }
    switch (removeIfOld(*candidates[k].dir, f, now, grace)) {
      case RemoveResult::REMOVED:
        out << "deleted " << name << "  " << humanBytes(f.size) << '\n';
        ++removed;
        removedBytes += f.size;
        break;
      case RemoveResult::TOO_YOUNG:
        out << "kept " << name << "  (younger than the grace age)\n";
        break;
      case RemoveResult::FAILED:
        out.flush();
        std::fprintf(
            stderr, "vorla: %s: cannot delete file\n",
            displayText(utils::pathadd(*candidates[k].dir, f.name)).c_str());
        ++failed;
        break;
    }
  }
  out << count(orphans, "orphan data file");
  if (candidates.size() > orphans)
    out << ", " << count(candidates.size() - orphans, "unfinished save");
  out << ", " << humanBytes(bytes);
  if (remove) {
    out << "; deleted " << removed << ", " << humanBytes(removedBytes) << '\n';
  } else {
    out << "; " << old << " older than the grace age"
        << (old > 0 ? " (--delete deletes them)\n" : "\n");
  }
  out.flush();
  return failed == 0 ? kOk : kFound;
}

// ---------------------------------------------------------------- copy

bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int runCopy(const Args& args) {
  needOperands(args, 3, 3);
  const std::string& srcIndex = args.operands[0];
  const unsigned id = parseId(args.command, args.operands[1]);
  const std::string& dstIndex = args.operands[2];
  WriterLock lock;
  lockWorkspace(lock, dstIndex, parseWait(args));
  Progress progress;
  SpaceMan dst;
  load(dst, dstIndex, progress);
  std::unique_ptr<SpaceMan> other;
  SpaceMan* src = &dst;
  if (!sameFile(srcIndex, dstIndex)) {
    other.reset(new SpaceMan);
    load(*other, srcIndex, progress);
    src = other.get();
  }
  if (findRecord(*src, id) == nullptr) {
    throw Failure(srcIndex,
                  "record " + std::to_string(id) + ": cannot find id");
  }
  makeDirs(dst.getDatadir());
  const unsigned before = dst.getCounter();
  unsigned newId;
  try {
    newId = dst.import(src, id);
  } catch (const std::runtime_error& e) {
    // A failed copy leaves its partly filled record behind; releasing it
    // deletes the data files it had already made, so that nothing is left
    // for gc. The index file is not written.
    std::vector<unsigned> made;
    for (const auto& entry : dst.getStructs()) {
      const unsigned rid = static_cast<unsigned>(entry.first);
      if (rid > before && entry.second->extrefcount > 0) made.push_back(rid);
    }
    for (unsigned rid : made) {
      try {
        dst.unlinkStruct(rid);
      } catch (const std::runtime_error&) {
        // Already gone with an earlier one; nothing more to undo.
      }
    }
    throw Failure(srcIndex, "record " + std::to_string(id) + ": " + e.what());
  }
  save(dst);
  Out out;
  out << newId << '\n';
  out.flush();
  return kOk;
}

// ---------------------------------------------------------------- stats

int runStats(const Args& args) {
  needOperands(args, 1, 1);
  const std::string& index = args.operands[0];
  Progress progress;
  SpaceMan ws;
  load(ws, index, progress);
  WorkspaceStats s;
  try {
    s = computeStats(ws, progressOf(progress, "counting"));
  } catch (const std::runtime_error& e) {
    progress.clear();
    throw Failure(ws.getDatadir(), e.what());
  }
  progress.clear();
  std::size_t items = 0;
  for (int t = 1; t <= 5; ++t) items += s.items[t];
  Out out;
  if (args.has("--json")) {
    std::string& o = out.raw();
    o += "{\"index\":";
    appendJson(o, index);
    o += ",\"records\":" + std::to_string(s.records);
    o += ",\"top_level\":" + std::to_string(s.topLevel);
    o += ",\"items\":{";
    for (int t = 1; t <= 5; ++t) {
      o += std::string(t > 1 ? "," : "") + "\"" +
           typeName(static_cast<StructConfig::DataItemType>(t)) +
           "\":" + std::to_string(s.items[t]);
    }
    o += "},\"files\":" + std::to_string(s.files);
    o += ",\"missing_files\":" + std::to_string(s.missingFiles);
    o += ",\"file_bytes\":" + std::to_string(s.fileBytes);
    o += ",\"orphan_files\":" + std::to_string(s.orphanFiles);
    o += ",\"orphan_bytes\":" + std::to_string(s.orphanBytes) + "}\n";
    out.flush();
    return kOk;
  }
  out << "records       " << s.records << "  (" << s.topLevel
      << " top-level)\n";
  out << "items         " << items << '\n';
  for (int t = 1; t <= 5; ++t) {
    char line[64];
    std::snprintf(line, sizeof line, "  %-10s  %zu\n",
                  typeName(static_cast<StructConfig::DataItemType>(t)),
                  s.items[t]);
    out << line;
  }
  out << "data files    " << s.files << "  (" << s.missingFiles << " missing), "
      << humanBytes(s.fileBytes) << '\n';
  out << "orphan files  " << s.orphanFiles << ", " << humanBytes(s.orphanBytes)
      << '\n';
  out.flush();
  return kOk;
}

// ---------------------------------------------------------------- main

struct Command {
  const char* name;
  const char* help;
  std::vector<std::string> flags;
  std::vector<std::string> valued;
  int (*run)(const Args&);
};

int dispatch(int argc, char** argv) {
  const std::vector<Command> commands = {
      {"init", kInitHelp, {"--force"}, {"--wait"}, runInit},
      {"show", kShowHelp, {"--json"}, {}, runShow},
      {"check", kCheckHelp, {"--fix-counts"}, {"--wait"}, runCheck},
      {"gc", kGcHelp, {"--delete"}, {"--grace", "--wait"}, runGc},
      {"copy", kCopyHelp, {}, {"--wait"}, runCopy},
      {"stats", kStatsHelp, {"--json"}, {}, runStats},
  };
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return kError;
  }
  std::string name = argv[1];
  if (name == "--version") {
    std::fputs("vorla " VORLA_VERSION "\n", stdout);
    return kOk;
  }
  if (name == "--help" || name == "-h" || name == "help") {
    if (name == "help" && argc > 2) {
      name = argv[2];
      for (const Command& c : commands) {
        if (name == c.name) {
          std::fputs(c.help, stdout);
          return kOk;
        }
      }
      throw Failure("", "unknown command " + quoted(name));
    }
    std::fputs(kUsage, stdout);
    return kOk;
  }
  for (const Command& c : commands) {
    if (name != c.name) continue;
    const Args args = parseArgs(argc, argv, 2, c.name, c.flags, c.valued);
    if (args.help) {
      std::fputs(c.help, stdout);
      return kOk;
    }
    return c.run(args);
  }
  throw Failure("",
                "unknown command " + quoted(name) + " (run 'vorla --help')");
}

}  // namespace
}  // namespace tool
}  // namespace vorla

int main(int argc, char** argv) {
  try {
    return vorla::tool::dispatch(argc, argv);
  } catch (const vorla::tool::InUse& e) {
    std::fprintf(stderr, "vorla: %s\n", e.what());
    return vorla::tool::kInUse;
  } catch (const std::bad_alloc&) {
    std::fputs("vorla: out of memory\n", stderr);
  } catch (const vorla::tool::Failure& e) {
    std::fprintf(stderr, "vorla: %s\n", e.what());
  } catch (const std::exception& e) {
    // Not built by the tool, so not escaped yet.
    std::fprintf(stderr, "vorla: %s\n",
                 vorla::tool::displayText(e.what()).c_str());
  }
  return vorla::tool::kError;
}
