/*
 * chart_data.h - the points one chart of the report draws: the lines of one
 * graph (a series and role each) on one shared row of time stamps, thinned
 * to at most two rows per pixel column when there are more samples than
 * that. A thinned column keeps each line's smallest and largest value (in
 * their time order, at the column's first and last time stamp), so a spike
 * of a single sample stays visible at any zoom the page opens with.
 */
#ifndef ORVTSDB_CHART_DATA_H
#define ORVTSDB_CHART_DATA_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvtsdb_cli {

struct ChartLine {
  std::string label;
  bool right_axis = false;  // counts beside times: drawn against a second axis
};

/* A cell: nullopt where the line has no sample at the row's time (the line
 * runs on across it), the store's missing marker where the sample is missing
 * (the line breaks), else the value. */
using Cell = std::optional<double>;

struct ChartData {
  std::vector<int64_t> times;  // ascending, unique
  std::vector<ChartLine> lines;
  std::vector<std::vector<Cell>> cells;  // per line, one per time
  bool thinned = false;
  bool elapsed = false;  // times are seconds since a run's start, not epoch seconds
  int columns = 0;       // the builder's column count
  size_t samples = 0;    // samples given, over all lines
  size_t missing = 0;    // of them missing
};

class ChartBuilder {
 public:
  /* columns: the chart's width in pixels (at least 1). */
  explicit ChartBuilder(int columns) : columns_(columns < 1 ? 1 : columns) {}
  /* Adds a line; times ascending and unique, one value per time. */
  void add_line(ChartLine line, std::vector<int64_t> times, std::vector<double> values);
  /* The chart: every sample when the union of the lines' times has at most
   * 2 x columns stamps, else the extremes per column. */
  ChartData build() const;

 private:
  struct Line {
    ChartLine line;
    std::vector<int64_t> times;
    std::vector<double> values;
  };
  ChartData all_samples(std::vector<int64_t> times) const;
  ChartData extremes(const std::vector<int64_t> &times) const;
  int columns_;
  std::vector<Line> lines_;
};

/* The chart as JSON text for the page: {"t0": first time, "dt": [time
 * deltas], "lines": [{"label", "y2"}], "v": [[cell per time] per line],
 * "thinned": bool, "elapsed": bool}; a cell is a number, null (no sample), "-" (missing) or
 * "NaN"/"Infinity"/"-Infinity". Safe inside a <script> element. */
std::string chart_json(const ChartData &c);

}  // namespace orvtsdb_cli

#endif
