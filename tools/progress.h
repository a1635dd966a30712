// SPDX-License-Identifier: MIT
// Progress of a command on standard error, and the library's progress
// callbacks shown on it.

#ifndef VORLA_TOOLS_PROGRESS_H_
#define VORLA_TOOLS_PROGRESS_H_

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

#include "workspace/progress.h"

namespace vorla {
namespace tool {

// Progress on stderr: one line, redrawn. It shows only when stderr is a
// terminal, only once the command has run for a second (a quick command
// prints nothing), and never after silence() (main calls it for --json).
// From then on the current phase shows even while the library works
// without calling back (loading the index file): a timer thread draws it.
class Progress {
 public:
  Progress();
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Shows `what` alone ("loading index.ini").
  void phase(const std::string& what);
  // Shows `what` with a percentage.
  void update(const std::string& what, std::size_t done, std::size_t total);
  void clear();

  // No progress at all for the rest of the process.
  static void silence();

 private:
  // Writes `text` over the line; requires `mu`.
  void draw();
  // The timer: waits a second, then shows what there is to show.
  void wait();

  bool enabled;
  int lastPercent;  // of the calling thread only
  std::mutex mu;
  std::condition_variable wake;
  std::string text;  // the line to show; empty when there is none
  bool due;          // the second has passed
  bool stop;
  bool shown;
  std::thread timer;
};

// The library's progress calls, shown on `progress` as `what`.
ProgressFn progressOf(Progress& progress, const std::string& what);

}  // namespace tool
}  // namespace vorla

#endif  // VORLA_TOOLS_PROGRESS_H_
