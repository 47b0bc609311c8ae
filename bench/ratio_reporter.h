// ratio_reporter.h - a Google Benchmark reporter for the benchmarks that
// compare two programs in one process: console output as usual, plus the
// mean CPU time per iteration of every benchmark over its repetitions (CPU
// time, so the ratio depends as little as possible on what else the machine
// runs), and a line "ratio <what> <names> = X" per comparison asked for.
#ifndef VZU_BENCH_RATIO_REPORTER_H
#define VZU_BENCH_RATIO_REPORTER_H

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      Mean &m = means_[run.run_name.function_name];
      m.sum += run.GetAdjustedCPUTime();
      m.count++;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Prints "ratio <what> <names> = mean(a) / mean(b)" when both ran.
  void PrintRatio(const char *what, const char *names, const std::string &a,
                  const std::string &b) const {
    auto x = means_.find(a), y = means_.find(b);
    if (x == means_.end() || y == means_.end() || y->second.value() <= 0) return;
    printf("ratio %s %s = %.3f\n", what, names, x->second.value() / y->second.value());
  }

  // Prints "ratio <what> <names> = (mean(a) - mean(a_part)) / (mean(b) -
  // mean(b_part))": the two compared with a part of each taken away.
  void PrintDifferenceRatio(const char *what, const char *names, const std::string &a,
                            const std::string &a_part, const std::string &b,
                            const std::string &b_part) const {
    auto x = means_.find(a), xp = means_.find(a_part);
    auto y = means_.find(b), yp = means_.find(b_part);
    if (x == means_.end() || xp == means_.end() || y == means_.end() || yp == means_.end()) return;
    double rest = y->second.value() - yp->second.value();
    if (rest <= 0) return;
    printf("ratio %s %s = %.3f\n", what, names, (x->second.value() - xp->second.value()) / rest);
  }

 private:
  struct Mean {
    double sum = 0;
    int count = 0;
    double value() const { return sum / count; }
  };
  std::map<std::string, Mean> means_;
};

#endif  // VZU_BENCH_RATIO_REPORTER_H
