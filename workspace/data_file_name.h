// The name of a data file, in one place: how it is built, drawn and read
// back.
//
// A data file that a record owns is named
//     prefix "_" id "_" "_" draw "_"
// where prefix is the caller's (it may be empty or hold "_" and digits
// itself), id the owning record's id and draw a number of the process-wide
// random source (rnd). A temporary file that no record names is
// "_" tag "_0__" draw "_". The name stands bare in the file item; the data
// directory is added to it where the file is used. Names are drawn until
// one is free: nothing stands at it, not even a dangling symbolic link.

#ifndef VORLA_WORKSPACE_DATA_FILE_NAME_H_
#define VORLA_WORKSPACE_DATA_FILE_NAME_H_

#include <string>

namespace vorla {
namespace data_file_name {

// What goes before the draw in the name of a file owned by record `id`:
// prefix "_" id "_".
std::string owned(unsigned id, const std::string& prefix);

// What goes before the draw in the name of a temporary file: "_" tag
// "_0_".
std::string temporary(const std::string& tag);

// Whether `prefix` may stand in a data file name: no separator, no line
// break and no NUL, so that the name stays a bare name inside the data
// directory and fits on an index file line, and no blank at either end,
// which the reader would trim from the stored name.
bool valid_prefix(const std::string& prefix);

// The prefix of a stored name: the text before its first "_".
std::string prefix_of(const std::string& name);

// Whether `name` has the form that the library gives data files: a prefix,
// "_", a decimal id, "__", a decimal draw, "_". Read from the end, since
// the prefix may itself hold "_" and digits.
bool matches(const std::string& name);

}  // namespace data_file_name
}  // namespace vorla

#endif  // VORLA_WORKSPACE_DATA_FILE_NAME_H_
