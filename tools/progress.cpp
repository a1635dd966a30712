// SPDX-License-Identifier: MIT
#include "tools/progress.h"

#include <unistd.h>  // isatty

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>

#include "workspace/progress.h"

namespace vorla {
namespace tool {

namespace {

bool progressSilenced = false;

}  // namespace

void Progress::silence() { progressSilenced = true; }

Progress::Progress()
    : enabled(!progressSilenced && isatty(STDERR_FILENO) != 0),
      lastPercent(-1),
      due(false),
      stop(false),
      shown(false) {
  if (enabled) timer = std::thread(&Progress::wait, this);
}

Progress::~Progress() {
  if (!enabled) return;
  clear();
  {
    std::lock_guard<std::mutex> hold(mu);
    stop = true;
  }
  wake.notify_one();
  timer.join();
}

void Progress::wait() {
  std::unique_lock<std::mutex> hold(mu);
  if (wake.wait_for(hold, std::chrono::seconds(1), [this] { return stop; })) {
    return;
  }
  due = true;
  if (!text.empty()) draw();
}

void Progress::draw() {
  std::fprintf(stderr, "\r\033[K%s", text.c_str());
  std::fflush(stderr);
  shown = true;
}

void Progress::phase(const std::string& what) {
  if (!enabled) return;
  lastPercent = -1;
  std::lock_guard<std::mutex> hold(mu);
  text = "vorla: " + what + "...";
  if (due) draw();
}

void Progress::update(const std::string& what, std::size_t done,
                      std::size_t total) {
  if (!enabled) return;
  const int percent = total == 0 ? 100 : static_cast<int>(done * 100.0 / total);
  if (percent == lastPercent) return;
  lastPercent = percent;
  std::lock_guard<std::mutex> hold(mu);
  text = "vorla: " + what + "... " + std::to_string(percent) + "%";
  if (due) draw();
}

void Progress::clear() {
  if (!enabled) return;
  lastPercent = -1;
  std::lock_guard<std::mutex> hold(mu);
  text.clear();
  if (!shown) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  shown = false;
}

ProgressFn progressOf(Progress& progress, const std::string& what) {
  return [&progress, what](std::size_t done, std::size_t total) {
    progress.update(what, done, total);
  };
}

}  // namespace tool
}  // namespace vorla
