// The one exception type of the library: a std::runtime_error whose what()
// is the fixed, short message that callers have always compared, carrying
// what a program needs to act on it without parsing that text: a code (one
// per message), the path involved, the errno of the system call that failed,
// and for the index file reader the number of the line it refused.
//
// It is defined here, below the workspace, because the file helpers of
// utils throw it too; the workspace header names it vorla::Error.

#ifndef VORLA_UTILS_ERROR_H_
#define VORLA_UTILS_ERROR_H_

#include <cstddef>
#include <stdexcept>
#include <string>

namespace utils {

class Error : public std::runtime_error {
 public:
  // One code per message; the message of each is in the comment. New codes
  // go at the end, so that stored or transmitted numbers keep their meaning.
  enum Code {
    CANNOT_OPEN_FILE,            // "cannot open file"
    CANNOT_WRITE_FILE,           // "cannot write file"
    CANNOT_COPY_FILE,            // "cannot copy file"
    CANNOT_READ_DIRECTORY,       // "cannot read directory"
    CANNOT_READ_DATA_DIRECTORY,  // "cannot read data directory"
    CANNOT_PARSE_LINE,           // "cannot parse this line"
    CONVERSION_ERROR,            // "conversion error"
    DUPLICATED_ENTRY,            // "duplicated entry"
    LINE_TOO_LONG,               // "line too long"
    UNKNOWN_SYS_VAR,             // "unknown sys var"
    UNIDENTIFIED_SUFFIX,         // "unindentified suffix"
    INVALID_FILE_NAME,           // "invalid file name"
    INVALID_NAME,                // "invalid name"
    INVALID_TEXT,                // "invalid text"
    CANNOT_FIND_ID,              // "cannot find id"
    CANNOT_FIND_NAME,            // "cannot find name"
    CANNOT_FIND_GROUP_0,         // "cannot find group 0"
    WRONG_VARIABLE_TYPE,         // "wrong variable type"
    WRONG_TYPE,                  // "wrong type"
    CHANGED_IN_TYPE,             // "changed in type"
    EXISTED,                     // "existed"
    FILE_EXISTED,                // "file existed"
    CYCLIC_LINK,                 // "cyclic link"
    FOREIGN_RECORD,              // "foreign record"
    COPY_TOO_LARGE,              // "copy too large"
    REFERENCE_COUNT_OVERFLOW,    // "reference count overflow"
    UNSUPPORTED_CHILD_TYPE,      // "unsupported child type"
    CROSS_CHILD,                 // "unimplemented feature 'cross child'"
    CANNOT_CREATE_FILE_NAME,     // "cannot create rand file name"
    UNREACHABLE,                 // "imposible to reach here"
    WORKSPACE_IN_USE,            // "workspace in use"
    CHANGED_ON_DISK,             // "changed on disk"
    WORKSPACE_CLOSED,            // "workspace closed"
    WORKSPACE_NOT_LOADED,        // "workspace not loaded"
    INDEX_EXISTS,                // "index file exists"
    SHARED_DATA_DIRECTORY,       // "shared data directory"
    BUSY_AT_FORK,                // "workspace busy at fork"
    SYSTEM_RECORD                // "system record"
  };

  // `sysErrno` is the errno of the failed system call, 0 where none
  // failed; `line` counts the index file's lines from 1, 0 outside the
  // reader.
  explicit Error(Code code, std::string path = std::string(), int sysErrno = 0,
                 std::size_t line = 0);

  Code code() const { return which; }
  // The file or directory involved; empty where none is.
  const std::string& path() const { return where; }
  int sysErrno() const { return errnum; }
  std::size_t line() const { return lineno; }

  // The fixed message of a code, as what() gives it.
  static const char* message(Code code);
  // A stable lower-case identifier of a code ("cannot_open_file"), for
  // programs that read the tool's JSON or Python's vorla.Error.
  static const char* codeName(Code code);
  // One past the last code.
  static const int kCodes = SYSTEM_RECORD + 1;

 private:
  Code which;
  std::string where;
  int errnum;
  std::size_t lineno;
};

}  // namespace utils

#endif  // VORLA_UTILS_ERROR_H_
