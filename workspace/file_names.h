// SPDX-License-Identifier: MIT
// Every name the store puts on disk, built and read back in one place:
//
// Data files. A data file that a record owns is named
//     prefix "_" id "_" "_" draw "_"
// where prefix is the caller's (it may be empty or hold "_" and digits
// itself), id the owning record's id and draw a number of the process-wide
// random source (rnd). A temporary file that no record names is
// "_" tag "_0__" draw "_". The name stands bare in the file item; the data
// directory is added to it where the file is used. Names are drawn until
// one is free: nothing stands at it, not even a dangling symbolic link.
//
// Unfinished saves. A save writes a temporary file beside the index file,
// kSaveTempPrefix and six characters that mkstemp draws, and renames it
// over the index file; one is left behind only by a process that died in
// the middle of a save.
//
// Backups. The tool and the library keep a former index file as INDEX.bak,
// or INDEX.bak.N with the first N from 1 that is free.
//
// Lost and found. Orphan data files that gc keeps rather than deletes go
// into a folder "lost+found", under their own name or NAME.N.

#ifndef VORLA_WORKSPACE_FILE_NAMES_H_
#define VORLA_WORKSPACE_FILE_NAMES_H_

#include <string>

namespace vorla {
namespace file_names {

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

// Unfinished saves: the prefix of the temporary file, its mkstemp template
// and whether `name` (a bare name) has the form of one.
constexpr char kSaveTempPrefix[] = ".vorla-";
constexpr char kSaveTempTemplate[] = ".vorla-XXXXXX";
bool is_save_temp(const std::string& name);

// The n-th name tried for `base`: base, base.1, base.2 ...; and how many
// are tried before giving up.
std::string numbered(const std::string& base, unsigned n);
constexpr unsigned kMaxNumbered = 100000;

// The n-th name a backup of `index` may take: index.bak, index.bak.1 ...
std::string backup(const std::string& index, unsigned n);
// Whether `name` has the form of a backup of some index file: NAME.bak or
// NAME.bak.N.
bool is_backup(const std::string& name);

// The lost+found folder in `dir`.
std::string lost_found_in(const std::string& dir);

}  // namespace file_names
}  // namespace vorla

#endif  // VORLA_WORKSPACE_FILE_NAMES_H_
