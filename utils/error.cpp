#include "utils/error.h"

#include <string>
#include <utility>

namespace utils {

namespace {

struct CodeText {
  const char* message;
  const char* name;
};

// In the order of the codes.
const CodeText kTexts[Error::kCodes] = {
    {"cannot open file", "cannot_open_file"},
    {"cannot write file", "cannot_write_file"},
    {"cannot copy file", "cannot_copy_file"},
    {"cannot read directory", "cannot_read_directory"},
    {"cannot read data directory", "cannot_read_data_directory"},
    {"cannot parse this line", "cannot_parse_line"},
    {"conversion error", "conversion_error"},
    {"duplicated entry", "duplicated_entry"},
    {"line too long", "line_too_long"},
    {"unknown sys var", "unknown_sys_var"},
    {"unindentified suffix", "unidentified_suffix"},
    {"invalid file name", "invalid_file_name"},
    {"invalid name", "invalid_name"},
    {"invalid text", "invalid_text"},
    {"cannot find id", "cannot_find_id"},
    {"cannot find name", "cannot_find_name"},
    {"cannot find group 0", "cannot_find_group_0"},
    {"wrong variable type", "wrong_variable_type"},
    {"wrong type", "wrong_type"},
    {"changed in type", "changed_in_type"},
    {"existed", "existed"},
    {"file existed", "file_existed"},
    {"cyclic link", "cyclic_link"},
    {"foreign record", "foreign_record"},
    {"copy too large", "copy_too_large"},
    {"reference count overflow", "reference_count_overflow"},
    {"unsupported child type", "unsupported_child_type"},
    {"unimplemented feature 'cross child'", "cross_child"},
    {"cannot create rand file name", "cannot_create_file_name"},
    {"imposible to reach here", "unreachable"},
    {"workspace in use", "workspace_in_use"},
    {"changed on disk", "changed_on_disk"},
    {"workspace closed", "workspace_closed"},
    {"workspace not loaded", "workspace_not_loaded"},
    {"index file exists", "index_file_exists"},
    {"shared data directory", "shared_data_directory"},
    {"workspace busy at fork", "busy_at_fork"},
    {"system record", "system_record"},
};

}  // namespace

Error::Error(Code code, std::string path, int sysErrno, std::size_t line)
    : std::runtime_error(message(code)),
      which(code),
      where(std::move(path)),
      errnum(sysErrno),
      lineno(line) {}

const char* Error::message(Code code) {
  return code >= 0 && code < kCodes ? kTexts[code].message : "unknown error";
}

const char* Error::codeName(Code code) {
  return code >= 0 && code < kCodes ? kTexts[code].name : "unknown";
}

}  // namespace utils
