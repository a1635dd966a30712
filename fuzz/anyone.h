// SPDX-License-Identifier: MIT
// The properties that "a workspace from anyone" is fuzzed for: an index file
// written by someone else is loaded in a folder that also holds files which
// belong to nobody's workspace; every record is copied into a second
// workspace and one into the workspace itself; the workspace is loaded again
// while its former records are still held, and those are asked to erase
// their data; every record is released; and both workspaces are saved and
// read back.
//
// Each input must either fail with one of the library's messages or
// complete, and never block on a FIFO; no decoy (a file outside the data
// directory) is ever changed, removed, or read into either workspace; no
// copy keeps a setuid or setgid bit or takes a symbolic link for a data file
// of its own; a record kept across a load changes nothing; a release that
// fails changes nothing and record 0 outlives every release; and whatever
// loads, or is left after the copies and releases, saves to a file that
// loads to the same records.

#ifndef VORLA_FUZZ_ANYONE_H_
#define VORLA_FUZZ_ANYONE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vorla {

// A scratch folder under a base directory:
//   secret                  a decoy
//   victim/victim.ini       another workspace's index file (a decoy)
//   victim/data/...         its data files, named like data files (decoys)
//   ws/input.ini            the input, as the index file
//   ws/data/...             its data directory: a symbolic link to
//                           ../../secret, a FIFO, a setuid file and two
//                           ordinary data files the input can name
//   dst/dst.ini, dst/data/  the workspace that receives the copies, whose
//                           data directory holds dangling symbolic links
//                           under the names its first copy would draw
// ws/ and dst/ are laid anew for every input; the decoys are made once and
// compared after every input.
class AnyoneScratch {
 public:
  // Makes the folder under `base`; aborts when it cannot.
  explicit AnyoneScratch(const std::string& base);
  // Removes the whole folder.
  ~AnyoneScratch();

  AnyoneScratch(const AnyoneScratch&) = delete;
  AnyoneScratch& operator=(const AnyoneScratch&) = delete;

  const std::string& root() const { return rootDir; }

  // Removes the scratch folders under `base` that processes now gone left
  // behind (a fuzzing run ended by a finding leaves its own).
  static void removeLeftovers(const std::string& base);

  // Runs `bytes` through load, copies, releases, saves and reloads. Returns
  // the empty string when every property held, otherwise what broke.
  std::string check(const std::string& bytes);

  // The copy limit the destination workspace gets, so that a copy that
  // would multiply records fails early instead of filling the memory.
  static constexpr uint64_t kCopyLimit = 4096;

 private:
  // A decoy is known by hashes only: a comparison with its bytes would
  // show them to the fuzzer, which watches comparisons and tries what it
  // sees in its inputs.
  struct Decoy {
    std::string path;
    uint64_t contentHash;
    uint64_t tokenHash;  // of a random part that no input can guess
    unsigned mode;
  };

  class FifoWatch;

  void lay();
  std::string run(const std::string& bytes);
  std::string checkDecoys() const;
  std::string checkFolder(const std::string& dir) const;

  std::string rootDir;
  std::vector<Decoy> decoys;
  // The first data file name draw after the random source is reseeded.
  std::string firstDraw;
  std::unique_ptr<FifoWatch> watch;
};

}  // namespace vorla

#endif  // VORLA_FUZZ_ANYONE_H_
