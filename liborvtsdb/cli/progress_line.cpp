/*
 * progress_line.cpp - the progress line of export and report.
 */
#include "progress_line.h"

#include <unistd.h>

#include <cstdio>

namespace orvtsdb_cli {

ProgressLine::ProgressLine(std::string what) : what_(std::move(what)), shown_(isatty(2)) {}

ProgressLine::~ProgressLine() {
  if (shown_) std::fputs("\r\033[K", stderr);
}

void ProgressLine::update(size_t done, size_t total) {
  if (!shown_) return;
  auto now = std::chrono::steady_clock::now();
  if (done < total && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  std::fprintf(stderr, "\r%s: graph %zu of %zu (%zu%%)\033[K", what_.c_str(), done, total,
               total ? done * 100 / total : 100);
  std::fflush(stderr);
}

}  // namespace orvtsdb_cli
