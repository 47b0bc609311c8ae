/*
 * chart_data_test.cpp - the rows a report chart draws, without a browser:
 * which lines are shown first, where a line breaks, and that the slices of
 * a thinned chart hold every sample of its main lines exactly once.
 */
#include "chart_data.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "orvtsdb.h"
#include "store_reading.h"

using namespace orvtsdb_cli;

namespace {

std::vector<int64_t> steps(int64_t from, int64_t step, int n) {
  std::vector<int64_t> t;
  for (int i = 0; i < n; i++) t.push_back(from + i * step);
  return t;
}

/* The cells of line `label` by time, where the line has a cell. */
std::map<int64_t, Cell> cells_of(const ChartData &c, const std::string &label) {
  std::map<int64_t, Cell> out;
  for (size_t k = 0; k < c.lines.size(); k++)
    if (c.lines[k].label == label)
      for (size_t i = 0; i < c.times.size(); i++)
        if (c.cells[k][i]) out[c.times[i]] = c.cells[k][i];
  return out;
}

// Ranked: main roles before secondary ones before counts, each by its mean;
// only the first ten are shown. Unranked (compare's baseline and candidate)
// keeps the order given.
TEST(ChartData, TopTenMainLinesByMeanAreShownFirst) {
  ChartBuilder b(640, true);
  b.add_line({"count", true, true}, steps(0, 10, 5), {900, 900, 900, 900, 900});
  b.add_line({"max", false, true}, steps(0, 10, 5), {500, 500, 500, 500, 500});
  for (int k = 0; k < 12; k++)
    b.add_line({"s" + std::to_string(k)}, steps(0, 10, 5),
               {(double)k, (double)k, TSDB_MISSING_VALUE, (double)k, (double)k});
  ChartData c = b.build();
  ASSERT_EQ(c.lines.size(), 14u);
  EXPECT_EQ(c.lines[0].label, "s11");
  EXPECT_EQ(c.lines[11].label, "s0");
  EXPECT_EQ(c.lines[12].label, "max");
  EXPECT_EQ(c.lines[13].label, "count");
  for (size_t k = 0; k < c.lines.size(); k++) EXPECT_EQ(c.lines[k].shown, k < 10) << k;
  EXPECT_EQ(c.samples, 70u);
  EXPECT_EQ(c.missing, 12u);

  ChartBuilder plain(640);
  plain.add_line({"baseline"}, steps(0, 10, 3), {1, 1, 1});
  plain.add_line({"candidate"}, steps(0, 10, 3), {9, 9, 9});
  EXPECT_EQ(plain.build().lines[0].label, "baseline");
}

// A hole in a line's times breaks it (a missing cell inside the hole); a
// longer step that carries on (a change of granularity) does not.
TEST(ChartData, AHoleBreaksTheLineAndACoarserStepDoesNot) {
  std::vector<int64_t> t = steps(0, 10, 20), later = steps(500, 10, 20), coarse = steps(750, 60, 5);
  t.insert(t.end(), later.begin(), later.end());
  t.insert(t.end(), coarse.begin(), coarse.end());
  ChartBuilder b(640);
  b.add_line({"a"}, t, std::vector<double>(t.size(), 1.0));
  ChartData c = b.build();
  EXPECT_EQ(c.samples, t.size()) << "the break is not a sample";
  EXPECT_EQ(c.missing, 0u);
  std::vector<int64_t> breaks;
  for (const auto &[time, v] : cells_of(c, "a"))
    if (orvtsdb::is_missing(*v)) breaks.push_back(time);
  ASSERT_EQ(breaks.size(), 1u);
  EXPECT_GT(breaks[0], 190);
  EXPECT_LT(breaks[0], 500);
}

// A thinned chart's slices hold every sample of its main lines once, in time
// order and within their slice; secondary lines and counts are left out.
TEST(ChartData, SlicesOfAThinnedChartHoldEveryMainSample) {
  const int n = 5000;
  ChartBuilder b(100, true);
  std::vector<double> a, m;
  for (int i = 0; i < n; i++) a.push_back(std::sin(i * 0.01) * 100), m.push_back(i);
  b.add_line({"avg"}, steps(1000, 10, n), a);
  b.add_line({"max", false, true}, steps(1000, 10, n), m);
  ChartData c = b.build();
  ASSERT_TRUE(c.thinned);
  EXPECT_LE(c.times.size(), 200u);
  EXPECT_EQ(b.slice_cells(c), (size_t)n);
  std::vector<ChartSlice> slices = b.slices(c, 1000);
  ASSERT_EQ(slices.size(), 5u);
  std::vector<double> seen;
  int64_t last = 0;
  for (const ChartSlice &s : slices) {
    ASSERT_EQ(s.lines, std::vector<size_t>{0});
    ASSERT_EQ(s.cells.size(), 1u);
    for (size_t i = 0; i < s.times.size(); i++) {
      EXPECT_GT(s.times[i], last);
      last = s.times[i];
      seen.push_back(*s.cells[0][i]);
    }
  }
  EXPECT_EQ(seen, a);
  EXPECT_NE(slice_json(slices[0]).find("\"k\":[0]"), std::string::npos);

  ChartBuilder few(100, true);
  few.add_line({"avg"}, steps(0, 10, 50), std::vector<double>(50, 1.0));
  ChartData whole = few.build();
  EXPECT_FALSE(whole.thinned);
  EXPECT_TRUE(few.slices(whole, 1000).empty()) << "every sample is drawn already";
}

}  // namespace
