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
  bool secondary = false;   // a role beside the main one (min, max, count...): shown after it
  bool shown = true;        // shown when the chart is first drawn (build() decides)
};

/* Lines a chart shows when first drawn; the others are a click away. */
constexpr size_t kShownLines = 10;

/* A cell: nullopt where the line has no sample at the row's time (the line
 * runs on across it), the store's missing marker where the sample is missing
 * (the line breaks), else the value. */
using Cell = std::optional<double>;

/* Every sample of some of a chart's lines between two times: what a zoomed
 * chart shows in place of the thinned rows. */
struct ChartSlice {
  std::vector<size_t> lines;  // the chart's lines it holds (indexes into ChartData::lines)
  std::vector<int64_t> times;
  std::vector<std::vector<Cell>> cells;  // per line held, one per time
};

struct ChartData {
  std::vector<int64_t> times;  // ascending, unique
  std::vector<ChartLine> lines;
  std::vector<std::vector<Cell>> cells;  // per line, one per time
  bool thinned = false;
  bool elapsed = false;            // times are seconds since a run's start, not epoch seconds
  int columns = 0;                 // the builder's column count
  size_t samples = 0;              // samples given, over all lines
  size_t missing = 0;              // of them missing
  std::string ylabel, y2label;     // axis titles
  std::vector<ChartSlice> slices;  // a thinned chart's every sample, in time order (may be empty)
};

class ChartBuilder {
 public:
  /* columns: the chart's width in pixels (at least 1). ranked: the lines
   * ranked as build() says, else in the order they were added. */
  explicit ChartBuilder(int columns, bool ranked = false)
      : columns_(columns < 1 ? 1 : columns), ranked_(ranked) {}
  /* Adds a line; times ascending and unique, one value per time. A hole in
   * the times (a step more than 1.5 times the steps beside it) becomes a
   * missing sample in its middle, so the line breaks there instead of
   * bridging it. */
  void add_line(ChartLine line, std::vector<int64_t> times, std::vector<double> values);
  /* The chart: every sample when the union of the lines' times has at most
   * 2 x columns stamps, else the extremes per column. Ranked lines come
   * main roles before secondary ones before the right axis, each by its
   * mean, then its max, largest first; the first kShownLines are shown. */
  ChartData build() const;
  /* Every sample of a thinned chart's main lines (neither secondary nor on
   * the right axis), in slices of at most `cells` cells (rows x lines), for
   * zooming into it; none for a chart that is not thinned. */
  std::vector<ChartSlice> slices(const ChartData &c, size_t cells) const;
  /* The cells slices() would give. */
  size_t slice_cells(const ChartData &c) const;

 private:
  struct Line {
    ChartLine line;
    std::vector<int64_t> times;
    std::vector<double> values;
    size_t stored = 0, missing = 0;  // samples given, and of them missing (holes not counted)
    double mean = 0, max = 0;        // of the values that are numbers, for the ranking
  };
  std::vector<const Line *> ranked() const;
  std::vector<int64_t> all_times() const;
  ChartData all_samples(const std::vector<const Line *> &lines, std::vector<int64_t> times) const;
  ChartData extremes(const std::vector<const Line *> &lines,
                     const std::vector<int64_t> &times) const;
  int columns_;
  bool ranked_;
  std::vector<Line> lines_;
};

/* The chart as JSON text for the page: {"t0": first time, "dt": [time
 * deltas], "lines": [{"label", "y2", "shown"}], "v": [[cell per time] per
 * line], "thinned": bool, "elapsed": bool, "ylabel", "y2label"}; a cell is a
 * number, null (no sample), "-" (missing) or "NaN"/"Infinity"/"-Infinity".
 * Safe inside a <script> element. */
std::string chart_json(const ChartData &c);

/* A slice as JSON text: {"t0", "dt", "v"} as in chart_json, and "k": the
 * indexes of its lines. */
std::string slice_json(const ChartSlice &s);

}  // namespace orvtsdb_cli

#endif
