// SPDX-License-Identifier: MIT
#include "tools/failure.h"

#include <cstddef>
#include <cstdint>
#include <cstring>  // strerror
#include <stdexcept>
#include <string>

#include "tools/exit_status.h"
#include "tools/json.h"
#include "tools/output.h"
#include "workspace/error.h"
#include "workspace/writer_lock.h"

namespace vorla {
namespace tool {

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
  std::string o;
  JsonWriter w(o);
  w.beginObject().key("error").beginObject();
  w.field("code", name).field("message", bare);
  w.stringOrNull("path", !file.empty(), file);
  w.key("line");
  lineNo > 0 ? w.value(static_cast<uint64_t>(lineNo)) : w.null();
  w.key("errno");
  errnum != 0 ? w.value(errnum) : w.null();
  w.field("exit", exitStatus);
  w.endObject().endObject();
  return o;
}

}  // namespace tool
}  // namespace vorla
