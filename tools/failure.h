// SPDX-License-Identifier: MIT
// A failure of a command: what main reports as "vorla: CONTEXT: MESSAGE"
// with an exit status, and with --json as an error document.

#ifndef VORLA_TOOLS_FAILURE_H_
#define VORLA_TOOLS_FAILURE_H_

#include <cstddef>
#include <stdexcept>
#include <string>

#include "tools/exit_status.h"
#include "workspace/error.h"

namespace vorla {
namespace tool {

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

  // The error document of --json, a line (docs/schemas/error.json).
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

}  // namespace tool
}  // namespace vorla

#endif  // VORLA_TOOLS_FAILURE_H_
