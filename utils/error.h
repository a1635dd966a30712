// SPDX-License-Identifier: MIT
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

// Every error code, its fixed message (what() of an Error) and its stable
// lower-case name, in one list from which the enumeration and the tables
// of messages and names are made. New codes go at the end, so that stored
// or transmitted numbers keep their meaning.
#define VORLA_ERROR_CODES(X)                                                 \
  X(CANNOT_OPEN_FILE, "cannot open file", "cannot_open_file")                \
  X(CANNOT_WRITE_FILE, "cannot write file", "cannot_write_file")             \
  X(CANNOT_COPY_FILE, "cannot copy file", "cannot_copy_file")                \
  X(CANNOT_READ_DIRECTORY, "cannot read directory", "cannot_read_directory") \
  X(CANNOT_READ_DATA_DIRECTORY, "cannot read data directory",                \
    "cannot_read_data_directory")                                            \
  X(CANNOT_PARSE_LINE, "cannot parse this line", "cannot_parse_line")        \
  X(CONVERSION_ERROR, "conversion error", "conversion_error")                \
  X(DUPLICATED_ENTRY, "duplicated entry", "duplicated_entry")                \
  X(LINE_TOO_LONG, "line too long", "line_too_long")                         \
  X(UNKNOWN_SYS_VAR, "unknown sys var", "unknown_sys_var")                   \
  X(UNIDENTIFIED_SUFFIX, "unindentified suffix", "unidentified_suffix")      \
  X(INVALID_FILE_NAME, "invalid file name", "invalid_file_name")             \
  X(INVALID_NAME, "invalid name", "invalid_name")                            \
  X(INVALID_TEXT, "invalid text", "invalid_text")                            \
  X(CANNOT_FIND_ID, "cannot find id", "cannot_find_id")                      \
  X(CANNOT_FIND_NAME, "cannot find name", "cannot_find_name")                \
  X(CANNOT_FIND_GROUP_0, "cannot find group 0", "cannot_find_group_0")       \
  X(WRONG_VARIABLE_TYPE, "wrong variable type", "wrong_variable_type")       \
  X(WRONG_TYPE, "wrong type", "wrong_type")                                  \
  X(CHANGED_IN_TYPE, "changed in type", "changed_in_type")                   \
  X(EXISTED, "existed", "existed")                                           \
  X(FILE_EXISTED, "file existed", "file_existed")                            \
  X(CYCLIC_LINK, "cyclic link", "cyclic_link")                               \
  X(FOREIGN_RECORD, "foreign record", "foreign_record")                      \
  X(COPY_TOO_LARGE, "copy too large", "copy_too_large")                      \
  X(REFERENCE_COUNT_OVERFLOW, "reference count overflow",                    \
    "reference_count_overflow")                                              \
  X(UNSUPPORTED_CHILD_TYPE, "unsupported child type",                        \
    "unsupported_child_type")                                                \
  X(CROSS_CHILD, "unimplemented feature 'cross child'", "cross_child")       \
  X(CANNOT_CREATE_FILE_NAME, "cannot create rand file name",                 \
    "cannot_create_file_name")                                               \
  X(UNREACHABLE, "imposible to reach here", "unreachable")                   \
  X(WORKSPACE_IN_USE, "workspace in use", "workspace_in_use")                \
  X(CHANGED_ON_DISK, "changed on disk", "changed_on_disk")                   \
  X(WORKSPACE_CLOSED, "workspace closed", "workspace_closed")                \
  X(WORKSPACE_NOT_LOADED, "workspace not loaded", "workspace_not_loaded")    \
  X(INDEX_EXISTS, "index file exists", "index_file_exists")                  \
  X(SHARED_DATA_DIRECTORY, "shared data directory", "shared_data_directory") \
  X(BUSY_AT_FORK, "workspace busy at fork", "busy_at_fork")                  \
  X(SYSTEM_RECORD, "system record", "system_record")

namespace utils {

class Error : public std::runtime_error {
 public:
  // One code per message (VORLA_ERROR_CODES).
  enum Code {
#define VORLA_ERROR_ENUMERATOR(code, message, name) code,
    VORLA_ERROR_CODES(VORLA_ERROR_ENUMERATOR)
#undef VORLA_ERROR_ENUMERATOR
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
#define VORLA_ERROR_ONE(code, message, name) +1
  static const int kCodes = 0 VORLA_ERROR_CODES(VORLA_ERROR_ONE);
#undef VORLA_ERROR_ONE

 private:
  Code which;
  std::string where;
  int errnum;
  std::size_t lineno;
};

}  // namespace utils

#endif  // VORLA_UTILS_ERROR_H_
