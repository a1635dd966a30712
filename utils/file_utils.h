// SPDX-License-Identifier: MIT
// Path and file helpers. Paths are plain byte strings: nothing is normalised
// or resolved. Both "/" and "\" count as separators when a path is read; only
// "/" is ever inserted.

#ifndef VORLA_UTILS_FILE_UTILS_H_
#define VORLA_UTILS_FILE_UTILS_H_

#include <cstdint>
#include <fstream>
#include <string>
#include <utility>

namespace utils {

// Everything before the last separator; "." when there is none.
std::string pathname(const std::string& path);

// (path before its last ".", the rest from that dot on); (path, "") when the
// path holds no dot. The dot may lie in a directory component.
std::pair<std::string, std::string> splitext(const std::string& path);

// The last byte of s, or '\0' when s is empty.
char lastchr(const std::string& s);

// dir and name joined by one "/" unless dir already ends in a separator.
std::string pathadd(const std::string& dir, const std::string& name);

// Whether stat() succeeds on path (links followed).
bool file_exists(const std::string& path);

// Whether anything stands at path, a dangling symbolic link included
// (lstat() succeeds). A name is free only when this is false.
bool name_taken(const std::string& path);

// Whether a name is free for a new file: nothing stands at path, and the
// system can hold the name (a name too long for it is no free name, since
// no file could ever be made there).
bool name_free(const std::string& path);

// Whether path holds a NUL byte. The system would see such a path cut short
// at the NUL, so that an operation would reach another file than the one
// named: every operation that touches the file system refuses it.
bool has_nul(const std::string& path);

// The size of the file at path; 0 when it cannot be opened or is empty.
int64_t filesize(const std::string& path);

// Copies the contents of src into dst inside the kernel and flushes dst to
// disk before returning. A dst that is created takes src's read, write and
// execute bits (less the umask), never its setuid, setgid or sticky bit.
// Only a regular file is copied, and neither path is followed through a
// symbolic link in its last component: a src that is a link, a FIFO, a
// device or a directory fails at once with "cannot copy file", before it is
// opened, and so does a dst that is a link. Throws "cannot open file" when
// src is missing or cannot be opened and "cannot copy file" when dst cannot
// be written or the copy ends early; in that case a dst that this call
// created is removed again. The error names the path it is about (src when
// opening or examining it failed, dst otherwise) and carries the errno of
// the failed call, 0 for a file refused by its kind.
void copyfile(const std::string& src, const std::string& dst);

// Creates a new file named prefix + "_" + six unique characters, readable
// and writable by its owner only, and opens stream on it. Returns the name,
// or "" (stream untouched) when no file could be created.
std::string open_temp(std::ofstream& stream, const std::string& prefix);

}  // namespace utils

#endif  // VORLA_UTILS_FILE_UTILS_H_
