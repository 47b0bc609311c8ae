/*
 * chart_data.cpp - a chart's rows: all samples, or per pixel column the
 * extremes of each line. Columns split the chart's time span evenly, so all
 * lines share the column boundaries and two rows per column serve them all.
 */
#include "chart_data.h"

#include <algorithm>
#include <cmath>

#include "orvtsdb.h"
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
  Line l{std::move(line), {}, {}, values.size(), 0, 0, 0};
  size_t numbers = 0;
  for (double v : values) {
    if (orvtsdb::is_missing(v)) {
      l.missing++;
    } else if (std::isfinite(v)) {
      l.mean += v;
      l.max = numbers++ ? std::max(l.max, v) : v;
    }
  }
  if (numbers) l.mean /= (double)numbers;
  l.times.reserve(times.size());
  l.values.reserve(values.size());
  for (size_t i = 0; i < times.size(); i++) {
    if (i > 0) {
      int64_t hole = times[i] - times[i - 1];
      int64_t before = i >= 2 ? times[i - 1] - times[i - 2] : 0;
      int64_t after = i + 1 < times.size() ? times[i + 1] - times[i] : 0;
      int64_t step = std::max(before, after);
      if (step > 0 && 2 * hole > 3 * step) {
        l.times.push_back(times[i - 1] + hole / 2);
        l.values.push_back(TSDB_MISSING_VALUE);
      }
    }
    l.times.push_back(times[i]);
    l.values.push_back(values[i]);
  }
  lines_.push_back(std::move(l));
}

std::vector<const ChartBuilder::Line *> ChartBuilder::ranked() const {
  std::vector<const Line *> out;
  for (const Line &l : lines_) out.push_back(&l);
  if (!ranked_) return out;
  auto rank = [](const Line *l) { return l->line.right_axis ? 2 : l->line.secondary ? 1 : 0; };
  std::stable_sort(out.begin(), out.end(), [&](const Line *a, const Line *b) {
    if (rank(a) != rank(b)) return rank(a) < rank(b);
    if (a->mean != b->mean) return a->mean > b->mean;
    return a->max > b->max;
  });
  return out;
}

std::vector<int64_t> ChartBuilder::all_times() const {
  std::vector<int64_t> times;
  for (const Line &l : lines_) {
    std::vector<int64_t> merged;
    std::set_union(times.begin(), times.end(), l.times.begin(), l.times.end(),
                   std::back_inserter(merged));
    times.swap(merged);
  }
  return times;
}

ChartData ChartBuilder::build() const {
  std::vector<int64_t> times = all_times();
  std::vector<const Line *> lines = ranked();
  ChartData c = times.size() <= 2 * (size_t)columns_ ? all_samples(lines, std::move(times))
                                                     : extremes(lines, times);
  c.columns = columns_;
  for (const Line *l : lines) {
    c.lines.push_back(l->line);
    c.lines.back().shown = c.lines.size() <= kShownLines;
    c.samples += l->stored;
    c.missing += l->missing;
  }
  return c;
}

namespace {

bool is_main(const ChartLine &l) { return !l.secondary && !l.right_axis; }

}  // namespace

size_t ChartBuilder::slice_cells(const ChartData &c) const {
  if (!c.thinned) return 0;
  size_t main = std::count_if(c.lines.begin(), c.lines.end(), is_main);
  return main * all_times().size();
}

std::vector<ChartSlice> ChartBuilder::slices(const ChartData &c, size_t cells) const {
  std::vector<ChartSlice> out;
  std::vector<const Line *> main;
  std::vector<size_t> index;
  std::vector<const Line *> lines = ranked();
  for (size_t k = 0; k < lines.size(); k++)
    if (is_main(lines[k]->line)) main.push_back(lines[k]), index.push_back(k);
  if (!c.thinned || main.empty()) return out;
  std::vector<int64_t> times;
  for (const Line *l : main) {
    std::vector<int64_t> merged;
    std::set_union(times.begin(), times.end(), l->times.begin(), l->times.end(),
                   std::back_inserter(merged));
    times.swap(merged);
  }
  ChartData all = all_samples(main, std::move(times));
  size_t rows = std::max<size_t>(1, cells / main.size());
  for (size_t from = 0; from < all.times.size(); from += rows) {
    size_t to = std::min(all.times.size(), from + rows);
    ChartSlice s;
    s.lines = index;
    s.times.assign(all.times.begin() + (ptrdiff_t)from, all.times.begin() + (ptrdiff_t)to);
    for (const std::vector<Cell> &line : all.cells)
      s.cells.emplace_back(line.begin() + (ptrdiff_t)from, line.begin() + (ptrdiff_t)to);
    out.push_back(std::move(s));
  }
  return out;
}

ChartData ChartBuilder::all_samples(const std::vector<const Line *> &lines,
                                    std::vector<int64_t> times) const {
  ChartData c;
  for (const Line *line : lines) {
    const Line &l = *line;
    std::vector<Cell> cells(times.size());
    for (size_t i = 0; i < l.times.size(); i++) cells[index_of(times, l.times[i])] = l.values[i];
    c.cells.push_back(std::move(cells));
  }
  c.times = std::move(times);
  return c;
}

ChartData ChartBuilder::extremes(const std::vector<const Line *> &lines,
                                 const std::vector<int64_t> &times) const {
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
  for (const Line *line : lines) {
    const Line &l = *line;
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

namespace {

/* "t0", "dt" and "v" of rows, without the braces. */
std::string rows_json(const std::vector<int64_t> &times,
                      const std::vector<std::vector<Cell>> &cells) {
  std::string out = "\"t0\":" + std::to_string(times.empty() ? 0 : times[0]) + ",\"dt\":[";
  for (size_t i = 0; i < times.size(); i++)
    out += (i ? "," : "") + std::to_string(times[i] - (i ? times[i - 1] : times[0]));
  out += "],\"v\":[";
  for (size_t k = 0; k < cells.size(); k++) {
    out += k ? ",[" : "[";
    for (size_t i = 0; i < cells[k].size(); i++) {
      if (i) out += ',';
      append_cell(out, cells[k][i]);
    }
    out += "]";
  }
  return out + "]";
}

}  // namespace

std::string chart_json(const ChartData &c) {
  std::string out = "{" + rows_json(c.times, c.cells) + ",\"lines\":[";
  for (size_t k = 0; k < c.lines.size(); k++)
    out += std::string(k ? "," : "") + "{\"label\":" + script_safe(c.lines[k].label) +
           ",\"y2\":" + (c.lines[k].right_axis ? "true" : "false") +
           ",\"shown\":" + (c.lines[k].shown ? "true" : "false") + "}";
  return out + "],\"thinned\":" + (c.thinned ? "true" : "false") +
         ",\"elapsed\":" + (c.elapsed ? "true" : "false") + ",\"ylabel\":" + script_safe(c.ylabel) +
         ",\"y2label\":" + script_safe(c.y2label) + "}";
}

std::string slice_json(const ChartSlice &s) {
  std::string out = "{" + rows_json(s.times, s.cells) + ",\"k\":[";
  for (size_t i = 0; i < s.lines.size(); i++) out += (i ? "," : "") + std::to_string(s.lines[i]);
  return out + "]}";
}

}  // namespace orvtsdb_cli
