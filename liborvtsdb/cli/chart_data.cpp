/*
 * chart_data.cpp - a chart's rows: all samples, or per pixel column the
 * extremes of each line. Columns split the chart's time span evenly, so all
 * lines share the column boundaries and two rows per column serve them all.
 */
#include "chart_data.h"

#include <algorithm>
#include <cmath>

#include "store_reading.h"
#include "value_text.h"

namespace orvtsdb_cli {

namespace {

size_t index_of(const std::vector<int64_t> &times, int64_t t) {
  return std::lower_bound(times.begin(), times.end(), t) - times.begin();
}

void append_cell(std::string &out, const Cell &c) {
  if (!c)
    out += "null";
  else if (orvtsdb::is_missing(*c))
    out += "\"-\"";
  else if (std::isnan(*c))
    out += "\"NaN\"";
  else if (std::isinf(*c))
    out += *c > 0 ? "\"Infinity\"" : "\"-Infinity\"";
  else
    append_number(out, *c);
}

/* JSON text of a string that cannot end a <script> element. */
std::string script_safe(const Json &s) {
  std::string text = json_dump(s), out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '<' && i + 1 < text.size() && text[i + 1] == '/')
      out += "<\\";
    else
      out += text[i];
  }
  return out;
}

}  // namespace

void ChartBuilder::add_line(ChartLine line, std::vector<int64_t> times,
                            std::vector<double> values) {
  lines_.push_back({std::move(line), std::move(times), std::move(values)});
}

ChartData ChartBuilder::build() const {
  std::vector<int64_t> times;
  for (const Line &l : lines_) {
    std::vector<int64_t> merged;
    std::set_union(times.begin(), times.end(), l.times.begin(), l.times.end(),
                   std::back_inserter(merged));
    times.swap(merged);
  }
  ChartData c = times.size() <= 2 * (size_t)columns_ ? all_samples(std::move(times))
                                                     : extremes(times);
  c.columns = columns_;
  for (const Line &l : lines_) {
    c.lines.push_back(l.line);
    c.samples += l.values.size();
    c.missing += std::count_if(l.values.begin(), l.values.end(), orvtsdb::is_missing);
  }
  return c;
}

ChartData ChartBuilder::all_samples(std::vector<int64_t> times) const {
  ChartData c;
  for (const Line &l : lines_) {
    std::vector<Cell> cells(times.size());
    for (size_t i = 0; i < l.times.size(); i++) cells[index_of(times, l.times[i])] = l.values[i];
    c.cells.push_back(std::move(cells));
  }
  c.times = std::move(times);
  return c;
}

ChartData ChartBuilder::extremes(const std::vector<int64_t> &times) const {
  ChartData c;
  c.thinned = true;
  const int64_t t0 = times.front();
  const __int128 span = (__int128)times.back() - t0 + 1;
  auto column = [&](int64_t t) { return (int)((__int128)(t - t0) * columns_ / span); };
  // Each column's rows: its first and its last time stamp.
  std::vector<size_t> first_row(columns_ + 1, SIZE_MAX);
  for (size_t i = 0; i < times.size(); i++) {
    int col = column(times[i]);
    if (first_row[col] == SIZE_MAX) {
      first_row[col] = c.times.size();
      c.times.push_back(times[i]);
    } else if (c.times.size() == first_row[col] + 1) {
      c.times.push_back(times[i]);
    } else {
      c.times.back() = times[i];
    }
  }
  for (const Line &l : lines_) {
    std::vector<Cell> cells(c.times.size());
    for (size_t i = 0; i < l.times.size();) {
      int col = column(l.times[i]);
      size_t lo = SIZE_MAX, hi = SIZE_MAX, end = i;
      for (; end < l.times.size() && column(l.times[end]) == col; end++) {
        double v = l.values[end];
        if (orvtsdb::is_missing(v) || std::isnan(v)) continue;
        if (lo == SIZE_MAX || v < l.values[lo]) lo = end;
        if (hi == SIZE_MAX || v > l.values[hi]) hi = end;
      }
      size_t row = first_row[col];
      bool two_rows = row + 1 < c.times.size() && column(c.times[row + 1]) == col;
      if (lo == SIZE_MAX) {
        cells[row] = l.values[i];  // nothing known in the column: a gap (or NaN)
      } else {
        cells[row] = l.values[std::min(lo, hi)];
        if (two_rows && lo != hi) cells[row + 1] = l.values[std::max(lo, hi)];
      }
      i = end;
    }
    c.cells.push_back(std::move(cells));
  }
  return c;
}

std::string chart_json(const ChartData &c) {
  std::string out = "{\"t0\":" + std::to_string(c.times.empty() ? 0 : c.times[0]) + ",\"dt\":[";
  for (size_t i = 0; i < c.times.size(); i++)
    out += (i ? "," : "") + std::to_string(c.times[i] - (i ? c.times[i - 1] : c.times[0]));
  out += "],\"lines\":[";
  for (size_t k = 0; k < c.lines.size(); k++)
    out += std::string(k ? "," : "") + "{\"label\":" + script_safe(c.lines[k].label) +
           ",\"y2\":" + (c.lines[k].right_axis ? "true" : "false") + "}";
  out += "],\"v\":[";
  for (size_t k = 0; k < c.cells.size(); k++) {
    out += k ? ",[" : "[";
    for (size_t i = 0; i < c.cells[k].size(); i++) {
      if (i) out += ',';
      append_cell(out, c.cells[k][i]);
    }
    out += "]";
  }
  return out + "],\"thinned\":" + (c.thinned ? "true" : "false") +
         ",\"elapsed\":" + (c.elapsed ? "true" : "false") + "}";
}

}  // namespace orvtsdb_cli
