/*
 * export.cpp - `orvtsdb export`: the selected samples as CSV, as
 * OpenMetrics text or as JSON.
 *
 * All three walk the same order: group (by name), graph (by position),
 * series, role, time; each series of a graph is read once and then written
 * role by role.
 *
 * CSV: header "group,graph,role,sid,<one column per tag>,time,value", tag
 * columns in the order they first appear ("tag_<name>" for a tag named as a
 * fixed column), a field empty where a series has
 * no such tag and where a sample is missing; fields quoted as RFC 4180 says,
 * lines ended by LF (as Unix tools expect; readers of RFC 4180 accept it).
 *
 * OpenMetrics: the engine mapping of push and of a migration to an engine
 * (engine_mapping.h): per graph its gauge families ("<name>",
 * or "<name>_avg", "_min", "_max", "_spread"), for a graph with counts the
 * summary family "<name>" of "<name>_count" and "<name>_sum" (running
 * totals over the run, so the series are read from the run's start even
 * when --from starts later), with HELP and TYPE; labels group, graph,
 * run_id, run, run_start, run_folder and the tags.
 * A graph whose name an earlier graph took gets "_<gid>_<position>"
 * appended, as a family may appear only once. Families never interleave
 * and each series comes in time order, as the format requires; time stamps
 * are seconds, absent values (interval_values.h) and values that are not
 * finite are left out and "# EOF" ends the text.
 *
 * JSON: an array with one object per series, graph and role:
 * {"group","graph","role","sid","labels":{tag: value},"points":[[time, value]]},
 * value null for an absent value.
 *
 * In CSV and JSON too, a value that reads as absent (missing, or the
 * average, minimum or maximum of an interval whose count is 0) is empty or
 * null; --align-start moves every time stamp in every format.
 *
 * JSON lines (jsonl): the same objects, one a line and nothing around them,
 * so a reader takes one series at a time instead of parsing the whole
 * export as one document.
 *
 * A line on standard error ends the export: the samples and values written
 * (as `info` counts them), the series, the span of their times, and for
 * OpenMetrics how many values it left out as not finite.
 *
 * The chunk rows of every selected series are held against their facts
 * before the first line is written, so a damaged store writes nothing; a
 * chunk whose blob turns out damaged as it is read ends the output with a
 * line "export incomplete: <reason>" besides the message and exit status.
 */
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>

#include "command_line.h"
#include "engine_mapping.h"
#include "engine_output.h"
#include "interval_values.h"
#include "orvtsdb.h"
#include "orvtsdb_data_roles.h"
#include "progress_line.h"
#include "selection.h"
#include "store_reading.h"
#include "time_text.h"
#include "value_text.h"

namespace orvtsdb_cli {

namespace {

struct Options {
  std::string store, format, align_start;
  Selection sel;
  int64_t shift = 0;  // seconds added to every time stamp
};

using Samples = SampleColumns;

/* reads_as_absent (interval_values.h) for every sample of one series and
 * graph, with the count role looked up once rather than per value. */
class AbsentTest {
 public:
  AbsentTest(int data_type, const Samples &smp) {
    int c = orvtsdb::count_role_of(data_type);
    if (c >= 0 && (size_t)c < smp.roles.size()) count_ = c, counts_ = smp.roles[c].data();
  }
  bool operator()(int role, const double *column, size_t i) const {
    return orvtsdb::is_missing(column[i]) || (count_ >= 0 && role != count_ && counts_[i] == 0);
  }

 private:
  int count_ = -1;
  const double *counts_ = nullptr;
};

/* text as the OpenMetrics text format escapes a label value and HELP
 * alike: backslash, line feed and double quote. */
std::string escape(const std::string &text) {
  std::string out;
  for (char c : shown_text(text)) {  // the text format is UTF-8 only
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '"')
      out += "\\\"";
    else
      out += c;
  }
  return out;
}

class Exporter {
 public:
  Exporter(sqlite3 *db, Options &o) : db_(db), o_(o), progress_("export"), walk_(db) {}

  void run() {
    Selected sel = select_samples(db_, o_.sel);
    std::string err;
    if (o_.format == "openmetrics" && !orvtsdb::list_migration_runs(db_, runs_of_, err))
      die_reading(db_, err);
    // Every selected series' chunk rows are checked before the first line;
    // only a damaged blob can still stop the export part-way, and then the
    // output says so itself.
    for (const SelectedGraph &g : sel.graphs)
      for (const SelectedSeries &s : *g.series)
        if (!walk_.check_chunk_rows(s.sid, g.idx, err)) die(EXIT_FAILURE_OTHER, err);
    note_incomplete_output_on_die("export");
    if (o_.format == "csv") csv_header(sel);
    if (o_.format == "json") out_.append("[");
    if (o_.format == "openmetrics") {
      names_.emplace(db_);
      std::vector<std::vector<const SelectedGraph *>> families = by_family(sel.graphs);
      for (size_t i = 0; i < families.size(); i++) {
        progress_.update(i, families.size());
        openmetrics_graphs(families[i]);
      }
    } else {
      for (size_t i = 0; i < sel.graphs.size(); i++) {
        progress_.update(i, sel.graphs.size());
        graph(sel.graphs[i]);
      }
    }
    if (o_.format == "json") out_.append(first_ ? "]\n" : "\n]\n");
    if (o_.format == "openmetrics") out_.append("# EOF\n");
    out_.flush();
    std::fprintf(stderr, "export: %lld samples (%lld values) of %zu series, %s, %s%s\n",
                 (long long)samples_, (long long)values_, series_.size(),
                 time_range_text(first_time_, last_time_).c_str(), runs_text(o_.sel.runs).c_str(),
                 non_finite_text(non_finite_).c_str());
  }

 private:
  /* A tag column is named as its tag, with "tag_" in front when that would
   * repeat a fixed column's name ("run" too when it has no column, so the
   * header of one store stays alike), "_" appended while it still repeats
   * one before it. */
  void csv_header(const Selected &sel) {
    std::string header = several_runs() ? "group,graph,role,sid,run" : "group,graph,role,sid";
    const std::set<std::string> fixed = {"group", "graph", "role", "sid", "run", "time", "value"};
    std::set<std::string> used = fixed;
    for (const SelectedGraph &g : sel.graphs)
      for (const SelectedSeries &s : *g.series)
        for (const auto &tv : s.tags)
          if (std::find(tags_.begin(), tags_.end(), tv.first) == tags_.end()) {
            tags_.push_back(tv.first);
            std::string name = fixed.count(tv.first) ? orvtsdb::TAG_PREFIX + tv.first : tv.first;
            while (!used.insert(name).second) name += "_";
            header += "," + csv_field(name);
          }
    out_.append(header + ",time,value\n");
  }

  void graph(const SelectedGraph &g) {
    for (const SelectedSeries &s : *g.series) {
      const Samples &smp = read(g, s.sid);
      // A series without a sample in the window has no line in any format.
      if (smp.times.empty()) continue;
      for (int r : g.roles) {
        if (o_.format == "csv") csv(g, s, r, smp);
        if (o_.format == "json" || o_.format == "jsonl") json(g, s, r, smp);
      }
    }
  }

  /* The samples of series sid in graph g, valid until the next read. */
  const Samples &read(const SelectedGraph &g, int64_t sid) {
    std::string err;
    if (!read_sample_columns(walk_, o_.sel, g, sid, o_.shift, smp_, err)) fail_part_way(err);
    count(g, sid, smp_);
    return smp_;
  }

  /* Gives up after some of the output: what was cut into blocks is written
   * first, as it would have been by then. */
  [[noreturn]] void fail_part_way(const std::string &err) {
    out_.write_blocks();
    die(EXIT_FAILURE_OTHER, err);
  }

  /* Counts what was read for the closing line: stored samples, and values
   * of the roles selected. */
  void count(const SelectedGraph &g, int64_t sid, const Samples &smp) {
    if (smp.times.empty()) return;
    series_.insert(sid);
    first_time_ = std::min(first_time_, smp.times.front());
    last_time_ = std::max(last_time_, smp.times.back());
    samples_ += (int64_t)smp.times.size();
    values_ += (int64_t)(smp.times.size() * g.roles.size());
  }

  void csv(const SelectedGraph &g, const SelectedSeries &s, int r, const Samples &smp) {
    std::string head = csv_field(g.group) + "," + csv_field(g.name) + "," + role_text(g, r) + "," +
                       std::to_string(s.sid);
    if (several_runs()) head += "," + std::to_string(s.run);
    for (const std::string &tag : tags_) {
      head += ",";
      for (const auto &tv : s.tags)
        if (tv.first == tag) {
          head += csv_field(tv.second);
          break;
        }
    }
    head += ",";
    const double *v = smp.roles[r].data();
    AbsentTest absent(g.data_type, smp);
    for (size_t i = 0; i < smp.times.size(); i++) {
      char *p = out_.room(head.size() + 20 + kNumberRoom + 2);
      std::memcpy(p, head.data(), head.size());
      p = put_integer(p + head.size(), smp.times[i]);
      *p++ = ',';
      if (!absent(r, v, i)) p = put_number(p, v[i]);
      *p++ = '\n';
      out_.advance(p);
      out_.line_done();
    }
  }

  /* One series' samples of one run, every role. */
  struct RunSamples {
    std::string run;             // its identity
    orvtsdb::PromLabels labels;  // without the name
    Samples smp;                 // from the series' start: counters sum them all
    int64_t first_step = 0;      // the interval of the first sample
    // For the OpenMetrics lines, made once for every family of the graph:
    std::vector<double> rows;     // sample-major: sample i's roles from rows[i * roles]
    std::vector<char> time_text;  // sample i's time from time_text[i * kTimeSlot], its
                                  // length in the slot's last byte
  };
  static constexpr size_t kTimeSlot = 24;

  /* rs's samples as rows, and their times as text. */
  static void lay_out_rows(RunSamples &rs) {
    const Samples &smp = rs.smp;
    size_t n = smp.times.size(), roles = smp.roles.size();
    rs.rows.resize(n * roles);
    for (size_t r = 0; r < roles; r++)
      for (size_t i = 0; i < n; i++) rs.rows[i * roles + r] = smp.roles[r][i];
    rs.time_text.resize(n * kTimeSlot);
    for (size_t i = 0; i < n; i++) {
      char *slot = rs.time_text.data() + i * kTimeSlot;
      slot[kTimeSlot - 1] = (char)(put_integer(slot, smp.times[i]) - slot);
    }
  }

  /* The samples of series s in graph g per run (the run of the migration
   * that wrote each chunk, in the order of the runs' identities), in time
   * order, into out; its entries' columns keep their room from the series
   * read before. */
  void read_by_run(const SelectedGraph &g, const SelectedSeries &s, std::vector<RunSamples> &out) {
    size_t used = 0;
    size_t roles = (size_t)std::max(1, orv_role_count(g.data_type));
    std::string err;
    auto each = [&](const orvtsdb::ChunkView &c) {
      auto m = runs_of_.find(c.migration);
      if (m == runs_of_.end()) return;  // no migration owns it: not a stored sample
      size_t at = 0;
      while (at < used && out[at].run != m->second.run) at++;
      if (at == used) {
        if (used == out.size()) out.emplace_back();
        RunSamples &rs = out[used++];
        auto r = runs_.try_emplace(
            m->second.run,
            orvtsdb::run_labels(m->second.run, m->second.run_dir, m->second.start_time));
        rs.run = m->second.run;
        rs.labels = orvtsdb::series_labels(g.group, g.name, s.tags, r.first->second);
        rs.smp.times.clear();
        rs.smp.roles.resize(roles);
        for (std::vector<double> &col : rs.smp.roles) col.clear();
        rs.first_step = c.step;
      }
      Samples &smp = out[at].smp;
      // The samples up to --to: the first ones of the chunk when time rises.
      int end = c.count;
      if (c.step > 0)
        while (end > 0 && c.start + (end - 1) * c.step > o_.sel.to) end--;
      for (int i = 0; i < end; i++) {
        int64_t t = c.start + i * c.step;
        if (t <= o_.sel.to) smp.times.push_back(t + o_.shift);
      }
      for (size_t k = 0; k < roles; k++) {
        std::vector<double> &col = smp.roles[k];
        if (c.step > 0 && (int)k < c.roles) {
          col.insert(col.end(), c.column((int)k), c.column((int)k) + end);
          continue;
        }
        for (int i = 0; i < end; i++)
          if (c.start + i * c.step <= o_.sel.to)
            col.push_back((int)k < c.roles ? c.column((int)k)[i] : TSDB_MISSING_VALUE);
      }
    };
    if (!walk_.for_each_chunk(s.sid, g.idx, std::numeric_limits<int64_t>::min(), o_.sel.to, each,
                              err))
      fail_part_way(err);
    out.resize(used);
    std::sort(out.begin(), out.end(),
              [](const RunSamples &a, const RunSamples &b) { return a.run < b.run; });
    for (const RunSamples &rs : out) {
      // what the closing line counts: the samples from --from on
      const std::vector<int64_t> &t = rs.smp.times;
      auto from = std::lower_bound(t.begin(), t.end(), shifted_from());
      if (from == t.end()) continue;
      series_.insert(s.sid);
      first_time_ = std::min(first_time_, *from);
      last_time_ = std::max(last_time_, t.back());
      samples_ += t.end() - from;
      values_ += (int64_t)((size_t)(t.end() - from) * g.roles.size());
      for (int r : g.roles)
        non_finite_ += non_finite_values(rs.smp.roles[r].data() + (from - t.begin()),
                                         (size_t)(t.end() - from));
    }
  }

  static std::string label_set(const orvtsdb::PromLabels &labels) {
    std::string out;
    for (const auto &[name, value] : labels)
      out += (out.empty() ? "" : ",") + name + "=\"" + escape(value) + "\"";
    return out;
  }

  /* The selected graphs in the order of the export, those of one engine
   * name (EngineNames: they share its families) together. */
  std::vector<std::vector<const SelectedGraph *>> by_family(const std::vector<SelectedGraph> &gs) {
    std::vector<std::vector<const SelectedGraph *>> lists;
    std::map<std::string, size_t> list_of;
    for (const SelectedGraph &g : gs) {
      auto [at, added] = list_of.emplace(mapping(g).name, lists.size());
      if (added) lists.emplace_back();
      lists[at->second].push_back(&g);
    }
    return lists;
  }

  orvtsdb::GraphMapping mapping(const SelectedGraph &g) const {
    return names_->mapping(g.gid, g.idx, g.group, g.name, g.description, g.data_type);
  }

  /* Graphs of one engine name (by_family): each family whole before the
   * next, gauges first, then the summary of counts and sums, every graph's
   * series in it. */
  void openmetrics_graphs(const std::vector<const SelectedGraph *> &gs) {
    std::vector<orvtsdb::GraphMapping> ms;
    for (const SelectedGraph *g : gs) ms.push_back(mapping(*g));
    // Every family any of them has (a times graph and a timesStd graph of one
    // name: the spread is the second's only), in the order they come.
    std::vector<orvtsdb::EngineFamily> families;
    for (const orvtsdb::GraphMapping &m : ms)
      for (const orvtsdb::EngineFamily &f : m.families)
        if (std::none_of(families.begin(), families.end(),
                         [&](const orvtsdb::EngineFamily &have) { return have.name == f.name; }))
          families.push_back(f);
    by_run_.resize(gs.size());
    for (size_t k = 0; k < gs.size(); k++) {
      by_run_[k].resize(gs[k]->series->size());
      for (size_t i = 0; i < by_run_[k].size(); i++) {
        read_by_run(*gs[k], (*gs[k]->series)[i], by_run_[k][i]);
        for (RunSamples &rs : by_run_[k][i]) lay_out_rows(rs);
      }
    }
    for (const orvtsdb::EngineFamily &f : families) {
      bool typed = false;
      for (size_t k = 0; k < gs.size(); k++) {
        // the outputs of this family: a gauge's one, or a summary's count and sum
        std::vector<size_t> outs;
        for (size_t o = 0; o < ms[k].outputs.size(); o++) {
          bool in = f.type == orvtsdb::FamilyType::summary ? ms[k].outputs[o].running()
                                                           : ms[k].outputs[o].name == f.name;
          if (in && output_selected(gs[k]->roles, ms[k], o)) outs.push_back(o);
        }
        if (outs.empty()) continue;
        if (!typed) {
          const char *type = f.type == orvtsdb::FamilyType::summary ? " summary\n" : " gauge\n";
          out_.append("# TYPE " + f.name + type + "# HELP " + f.name + " " + escape(f.help) + "\n");
          typed = true;
        }
        family_lines(ms[k], outs, by_run_[k]);
      }
    }
  }

  /* The lines of outputs `outs` of mapping m (one family) for every series
   * of its graph. */
  void family_lines(const orvtsdb::GraphMapping &m, const std::vector<size_t> &outs,
                    const std::vector<std::vector<RunSamples>> &series) {
    std::vector<std::string> names;
    for (size_t o : outs) names.push_back(m.outputs[o].name);
    for (const auto &runs : series)
      for (const RunSamples &rs : runs) {
        std::string labels = "{" + label_set(rs.labels) + "} ";
        // each output's line up to its value, made once per series
        std::vector<std::string> heads;
        for (const std::string &name : names) heads.push_back(name + labels);
        // most families are a gauge: lines without a counter's bookkeeping
        if (outs.size() == 1 && !m.outputs[outs[0]].running()) {
          gauge_lines(m, outs[0], heads[0], rs);
          continue;
        }
        orvtsdb::RunningTotals totals;
        for (size_t i = 0; i < rs.smp.times.size(); i++) {
          const double *sample = rs.rows.data() + i * rs.smp.roles.size();
          const char *time_text = rs.time_text.data() + i * kTimeSlot;
          int64_t step = i ? rs.smp.times[i] - rs.smp.times[i - 1] : rs.first_step;
          bool selected = rs.smp.times[i] >= shifted_from();
          // a counter's start (at most one a time stamp before this one)
          // goes before every output's value at this time stamp
          int64_t times[2][2];
          double values[2][2];
          int n[2] = {0, 0};
          for (size_t k = 0; k < outs.size() && k < 2; k++)
            n[k] = m.samples(outs[k], sample, rs.smp.times[i], step, totals, times[k], values[k]);
          if (!selected) continue;
          for (int first : {1, 0})
            for (size_t k = 0; k < outs.size() && k < 2; k++) {
              if (n[k] == 0 || (first && n[k] < 2)) continue;
              int at = first ? 0 : n[k] - 1;
              char *p = line_to_time(heads[k], values[k][at]);
              if (times[k][at] == rs.smp.times[i])
                p = put_time_text(p, time_text);
              else
                p = put_integer(p, times[k][at]);  // a counter's start
              *p++ = '\n';
              out_.advance(p);
            }
          out_.line_done();
        }
      }
  }

  /* The lines of gauge output o of one series: its value at each selected
   * sample where it is not absent, each line from `head` on. */
  void gauge_lines(const orvtsdb::GraphMapping &m, size_t o, const std::string &head,
                   const RunSamples &rs) {
    const std::vector<int64_t> &t = rs.smp.times;
    size_t roles = rs.smp.roles.size();
    for (size_t i = (size_t)(std::lower_bound(t.begin(), t.end(), shifted_from()) - t.begin());
         i < t.size(); i++) {
      double v;
      if (!m.value(o, rs.rows.data() + i * roles, &v)) continue;
      char *p = put_time_text(line_to_time(head, v), rs.time_text.data() + i * kTimeSlot);
      *p++ = '\n';
      out_.advance(p);
      out_.line_done();
    }
  }

  /* An OpenMetrics line up to its time: `head`, v and a blank, in room for
   * the rest of the line. */
  char *line_to_time(const std::string &head, double v) {
    char *p = out_.room(head.size() + kNumberRoom + kTimeSlot + 2);
    std::memcpy(p, head.data(), head.size());
    p = put_number(p + head.size(), v);
    *p++ = ' ';
    return p;
  }

  /* The time of a sample at p, from its slot of RunSamples::time_text. */
  static char *put_time_text(char *p, const char *slot) {
    std::memcpy(p, slot, kTimeSlot);  // whole: a constant size copies faster
    return p + slot[kTimeSlot - 1];
  }

  void json(const SelectedGraph &g, const SelectedSeries &s, int r, const Samples &smp) {
    Json labels = Json::object();
    for (const auto &[tag, value] : s.tags) labels[tag] = value;
    Json j = {{"group", g.group}, {"graph", g.name},  {"role", role_text(g, r)},
              {"sid", s.sid},     {"labels", labels}, {"points", Json::array()}};
    if (several_runs()) j["run"] = s.run;
    // The object as dump() writes it, cut where its points go: "points" is
    // the last field but an integer, so its last occurrence is the field.
    std::string whole = json_dump(j);
    size_t at = whole.rfind("\"points\":[]") + 10;
    std::string_view text(whole);
    if (o_.format == "json") out_.append(first_ ? "\n" : ",\n");
    out_.append(text.substr(0, at));
    const double *v = smp.roles[r].data();
    AbsentTest absent(g.data_type, smp);
    for (size_t i = 0; i < smp.times.size(); i++) {
      char *p = out_.room(20 + kNumberRoom + 4);
      if (i) *p++ = ',';
      *p++ = '[';
      p = put_integer(p, smp.times[i]);
      *p++ = ',';
      if (absent(r, v, i)) {
        std::memcpy(p, "null", 4);
        p += 4;
      } else {
        p = put_json_value(p, v[i]);
      }
      *p++ = ']';
      out_.advance(p);
    }
    out_.append(text.substr(at));
    if (o_.format == "jsonl") out_.append("\n");
    first_ = false;
    out_.line_done();
  }

  /* The start of the window as the time stamps are moved (--align-start),
   * held at the ends of the clock: an open start stays open whichever way
   * the stamps move. */
  int64_t shifted_from() const {
    int64_t t = 0;
    if (__builtin_add_overflow(o_.sel.from, o_.shift, &t))
      return o_.shift < 0 ? std::numeric_limits<int64_t>::min()
                          : std::numeric_limits<int64_t>::max();
    return t;
  }

  /* Whether the output mixes runs: then a series' run is a field of its
   * lines (openmetrics names the run of every series anyway). */
  bool several_runs() const { return o_.sel.runs.size() > 1; }

  sqlite3 *db_;
  Options &o_;
  ProgressLine progress_;
  orvtsdb::ChunkWalker walk_;
  LineBuffer out_;
  std::vector<std::string> tags_;
  std::optional<EngineNames> names_;                  // openmetrics
  std::map<int64_t, orvtsdb::MigrationRun> runs_of_;  // by migration id
  std::map<std::string, orvtsdb::RunLabels> runs_;    // by run identity
  Samples smp_;                                       // the series read last
  // The series of the graphs written last, per graph and run (openmetrics).
  std::vector<std::vector<std::vector<RunSamples>>> by_run_;
  bool first_ = true;
  // What was read, for the closing line (select_samples made sure of a sample).
  std::set<int64_t> series_;
  int64_t samples_ = 0, values_ = 0, non_finite_ = 0;  // non_finite_: openmetrics leaves them out
  int64_t first_time_ = INT64_MAX, last_time_ = INT64_MIN;
};

}  // namespace

void add_export_command(CLI::App &app) {
  auto o = std::make_shared<Options>();
  CLI::App *cmd = add_store_command(
      app, "export",
      "selected samples to standard output, one line per series, graph, role "
      "and time stamp",
      o->store);
  cmd->add_option("--format", o->format,
                  "csv, openmetrics, json (one document) or jsonl (one series a line)")
      ->required()
      ->check(CLI::IsMember({"csv", "openmetrics", "json", "jsonl"}));
  add_selection_options(*cmd, o->sel);
  add_align_start_option(*cmd, o->align_start);
  cmd->callback([o] {
    Store st(o->store);
    o->shift = align_shift(st.db(), o->align_start, o->sel.run);
    Exporter(st.db(), *o).run();
  });
}

}  // namespace orvtsdb_cli
