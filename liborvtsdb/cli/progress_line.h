/*
 * progress_line.h - one line on standard error that a long command rewrites
 * as it goes ("export: graph 12 of 77"), shown only when standard error is a
 * terminal so that logs and pipes stay clean.
 */
#ifndef ORVTSDB_PROGRESS_LINE_H
#define ORVTSDB_PROGRESS_LINE_H

#include <chrono>
#include <string>

namespace orvtsdb_cli {

class ProgressLine {
 public:
  explicit ProgressLine(std::string what);
  /* Erases the line. */
  ~ProgressLine();
  ProgressLine(const ProgressLine &) = delete;
  ProgressLine &operator=(const ProgressLine &) = delete;
  /* Shows "<what>: graph <done> of <total>", at most about ten times a second. */
  void update(size_t done, size_t total);

 private:
  std::string what_;
  bool shown_;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace orvtsdb_cli

#endif
