// What the commands of the tool share: the exit codes, the failures that
// main reports, the command line of one command (its options, operands and
// usage errors), and the workspace access of the commands, which turns the
// library's errors into failures that name the file: loading, saving, the
// writer lock with --wait, and making directories.

#ifndef VORLA_TOOLS_ARGS_H_
#define VORLA_TOOLS_ARGS_H_

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tools/output.h"
#include "workspace/error.h"
#include "workspace/progress.h"
#include "workspace/workspace.h"
#include "workspace/writer_lock.h"

namespace vorla {
namespace tool {

// Exit codes, each with one meaning.
const int kOk = 0;
// check found something wrong, or there was nothing to do where that
// matters to a script.
const int kFound = 1;
// The command line is wrong.
const int kUsage = 2;
// The workspace cannot be read or written: an I/O error, an index file that
// does not parse, or one that looks damaged.
const int kBroken = 3;
// The record named on the command line does not exist.
const int kNoRecord = 4;
// Another process holds the workspace, or saved it while the command ran.
const int kInUse = 5;

// The exit statuses, as every help text ends.
extern const char kExitStatusHelp[];

// The exit status of a library error: kInUse when another process holds
// the workspace or saved it meanwhile, else kBroken.
int statusOf(Error::Code code);

// A failure, reported as "vorla: CONTEXT: MESSAGE" with exit status
// `status()`, and with --json also as an error document on stdout.
// CONTEXT is a command name (usage errors) or a path, "PATH:LINE" when the
// index file reader names a line. It is escaped here; any text the message
// quotes is escaped by whoever builds the message.
class Failure : public std::runtime_error {
 public:
  // A failure of the tool's own about the file or directory `path` (none
  // when empty). `code` is its identifier for programs; by default the one
  // of `status`: "found", "usage", "io", "no_such_record" or "in_use".
  Failure(const std::string& path, const std::string& message, int status,
          const char* code = nullptr);
  // A library error met while working on `path`. The error's own path and
  // line, when it has them, replace `path`; its errno adds the system's
  // reason ("cannot open file: Permission denied"); `note` goes before
  // the message ("record 2"); who holds the workspace is said when
  // another process does. The status is statusOf(e.code()).
  Failure(const std::string& path, const Error& e,
          const std::string& note = std::string());

  // A usage error of `command`: exit status kUsage, no path.
  static Failure usage(const std::string& command, const std::string& message);

  // MESSAGE alone, without its context.
  const std::string& message() const { return bare; }
  int status() const { return exitStatus; }
  // "cannot_parse_line" and the like for library errors (Error::codeName),
  // else the tool's own code.
  const std::string& code() const { return name; }
  const std::string& path() const { return file; }
  std::size_t line() const { return lineNo; }
  int sysErrno() const { return errnum; }
  // Whether this is the library error `c`.
  bool is(Error::Code c) const { return library && libraryCode == c; }

  // The error document of --json, a line.
  std::string json() const;

 private:
  Failure(const std::string& context, const std::string& message, int status,
          const std::string& code, const std::string& path);

  std::string bare;
  int exitStatus;
  std::string name;
  std::string file;
  std::size_t lineNo = 0;
  int errnum = 0;
  bool library = false;
  Error::Code libraryCode = Error::UNREACHABLE;
};

// The parsed command line of one command: its options and its operands.
struct Args {
  std::string command;
  std::vector<std::string> operands;
  std::vector<std::string> flags;   // "--json"
  std::vector<std::string> valued;  // names of options that take a value
  std::vector<std::pair<std::string, std::string> > values;
  bool help = false;

  bool has(const std::string& flag) const;
  // The last value given to option `name`, or null.
  const std::string* value(const std::string& name) const;
};

// Splits argv[first..] into options and operands. `flags` and `valued`
// list the options the command knows; "--" ends the options.
Args parseArgs(int argc, char** argv, int first, const std::string& command,
               const std::vector<std::string>& flags,
               const std::vector<std::string>& valued);

// A usage error unless the command has from `min` to `max` operands.
void needOperands(const Args& args, std::size_t min, std::size_t max);

// A record id: decimal, at most 32 bits.
unsigned parseId(const std::string& command, const std::string& text);

// Seconds to wait for another process's writer lock: --wait, a decimal
// number (fractions allowed); 0 without it.
double parseWait(const Args& args);

// Holds the writer lock of INDEX for a command that reads the workspace
// and then writes it, so that no other process changes it in between.
void lockWorkspace(WriterLock& lock, const std::string& index, double wait);

// Loads INDEX through the library; any error names the file.
void loadWorkspace(SpaceMan& ws, const std::string& path, Progress& progress);

// Saves the workspace; any error names the index file.
void saveWorkspace(SpaceMan& ws);

// The library's progress calls, shown on `progress` as `what`.
ProgressFn progressOf(Progress& progress, const std::string& what);

// Creates `dir` and any missing parent, as mkdir -p does, each synced into
// its parent before the next is made in it.
void makeDirs(const std::string& dir);

}  // namespace tool
}  // namespace vorla

#endif  // VORLA_TOOLS_ARGS_H_
