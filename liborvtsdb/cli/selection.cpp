/*
 * selection.cpp - the selection options, their check against the store, and
 * the walk over the selected samples, all through the store's reading calls.
 *
 * A name the store does not hold is an error rather than an empty result, so
 * a typo never looks like a run without data.
 */
#include "selection.h"

#include <algorithm>
#include <map>
#include <set>

#include "command_line.h"
#include "graph_places.h"
#include "orvtsdb.h"
#include "orvtsdb_data_roles.h"
#include "store_reading.h"
#include "time_text.h"
#include "value_text.h"

namespace orvtsdb_cli {

namespace {

/* Gives up on a selection that matches nothing in db, naming the store (a
 * command may read two). */
[[noreturn]] void not_found(sqlite3 *db, const std::string &what) {
  die(EXIT_NO_MATCH, orvtsdb::store_name(db) + ": " + what);
}

/* A CLI11 check of a --from/--to value. */
std::string time_check(const std::string &text) {
  return parse_time(text) ? ""
                          : "'" + text +
                                "' is neither seconds or milliseconds since the epoch, an ISO 8601 "
                                "date-time, nor +DURATION after the run's start";
}

/* The numbers of the runs sel reads, or none when that is every run. */
std::vector<int64_t> run_numbers(sqlite3 *db, const Selection &sel) {
  std::vector<int64_t> out;
  if (sel.run.empty()) return out;
  std::vector<orvtsdb::RunEntry> all;
  std::string err;
  if (!orvtsdb::list_runs(db, all, err)) die_reading(db, err);
  if (all.size() == sel.runs.size()) return out;
  for (const orvtsdb::RunEntry &r : sel.runs) out.push_back(r.number);
  return out;
}

/* Sets sel.from and sel.to from what --from and --to gave. */
void resolve_times(sqlite3 *db, Selection &sel) {
  if (!sel.from_arg && !sel.to_arg) return;
  int64_t first = 0, last = 0;
  bool any = false;
  if ((sel.from_arg && sel.from_arg->from_start) || (sel.to_arg && sel.to_arg->from_start)) {
    std::string err;
    if (!orvtsdb::stored_time_span(db, &first, &last, &any, err, run_numbers(db, sel)))
      die_reading(db, err);
    if (!any)
      not_found(db, "the store holds no sample for a time after the run's start to count from");
  }
  // A moment inside a second starts the window at the next whole second and
  // ends it at this one: only whole seconds are stored.
  if (const auto &f = sel.from_arg)
    sel.from = f->from_start ? first + f->seconds : f->seconds + (f->inside_second ? 1 : 0);
  if (const auto &t = sel.to_arg) sel.to = t->from_start ? first + t->seconds : t->seconds;
}

std::string in_group(const Selection &sel) {
  return sel.group.empty() ? "" : " in group '" + sel.group + "'";
}

std::vector<SelectedGraph> graphs_of(sqlite3 *db, const Selection &sel) {
  std::vector<orvtsdb::GraphEntry> graphs;
  std::string err;
  if (!orvtsdb::list_graphs(db, sel.group, sel.graph, graphs, err)) die_reading(db, err);
  std::vector<SelectedGraph> out;
  for (orvtsdb::GraphEntry &g : graphs)
    out.push_back({g.gid,
                   g.idx,
                   g.data_type,
                   std::move(g.group),
                   std::move(g.name),
                   trimmed_text(g.description),
                   {},
                   nullptr,
                   orvtsdb::rate_unit(g)});
  return out;
}

void check_group(sqlite3 *db, const Selection &sel) {
  if (sel.group.empty()) return;
  bool exists = false;
  std::string err;
  if (!orvtsdb::find_group(db, sel.group, &exists, err)) die_reading(db, err);
  if (!exists) not_found(db, "no group '" + sel.group + "' in the store");
}

std::vector<SelectedSeries> all_series_of(sqlite3 *db, int64_t gid) {
  std::vector<SelectedSeries> out;
  std::string err;
  if (!orvtsdb::list_series(db, gid, out, err)) die_reading(db, err);
  return out;
}

/* Whether a series of run number `run` is among those sel reads (a store
 * whose series have no run has one run, or is read whole). */
bool reads_run(const Selection &sel, int64_t run) {
  if (run == 0) return true;
  for (const orvtsdb::RunEntry &r : sel.runs)
    if (r.number == run) return true;
  return false;
}

bool has_tag(const Tags &tags, const std::pair<std::string, std::string> &label) {
  for (const auto &tv : tags)
    if (tv == label) return true;
  return false;
}

/* The series of each group that carry every label; dies on a label that no
 * series of the selected groups carries. */
std::map<int64_t, std::shared_ptr<const std::vector<SelectedSeries>>> series_by_group(
    sqlite3 *db, const Selection &sel, const std::vector<SelectedGraph> &graphs) {
  std::map<int64_t, std::shared_ptr<const std::vector<SelectedSeries>>> out;
  std::vector<bool> seen(sel.labels.size(), false);
  for (const SelectedGraph &g : graphs) {
    if (out.count(g.gid)) continue;
    auto kept = std::make_shared<std::vector<SelectedSeries>>();
    for (SelectedSeries &s : all_series_of(db, g.gid)) {
      bool all = reads_run(sel, s.run);
      for (size_t i = 0; i < sel.labels.size(); i++) {
        bool has = has_tag(s.tags, sel.labels[i]);
        seen[i] = seen[i] || has;
        all = all && has;
      }
      if (all) kept->push_back(std::move(s));
    }
    out[g.gid] = kept;
  }
  for (size_t i = 0; i < sel.labels.size(); i++)
    if (!seen[i])
      not_found(db, "no series has the label " + sel.labels[i].first + "=" + sel.labels[i].second +
                        in_group(sel));
  return out;
}

/* Groups and graphs are shared by the runs of a store: when sel reads some
 * of its runs, the graphs only others hold samples of are not theirs (read
 * from its own store, the run has no such graph). */
void drop_other_runs_graphs(sqlite3 *db, const Selection &sel, std::vector<SelectedGraph> &graphs) {
  std::optional<std::set<int64_t>> held = graphs_held(db, sel);
  if (held)
    std::erase_if(graphs,
                  [&](const SelectedGraph &g) { return !held->count(g.gid << 32 | g.idx); });
}

/* Keeps the roles named by --role (all without it); drops graphs without it. */
void pick_roles(sqlite3 *db, const Selection &sel, std::vector<SelectedGraph> &graphs) {
  std::vector<SelectedGraph> kept;
  for (SelectedGraph &g : graphs) {
    int n = std::max(1, orv_role_count(g.data_type));
    for (int r = 0; r < n; r++)
      if (sel.role.empty() || sel.role == orv_role_name(g.data_type, r)) g.roles.push_back(r);
    if (!g.roles.empty()) kept.push_back(std::move(g));
  }
  if (kept.empty() && !graphs.empty())
    not_found(db, "no selected graph has the role '" + sel.role + "'");
  graphs = std::move(kept);
}

/* Dies when --from or --to leaves no stored time: a window past the run's
 * end or before its start names nothing, and saying so beats an empty
 * answer. A store without samples has no span to miss. */
void check_time_range(sqlite3 *db, const Selection &sel) {
  int64_t first = 0, last = 0;
  bool any = false;
  std::string err;
  if (!orvtsdb::stored_time_span(db, &first, &last, &any, err, run_numbers(db, sel)))
    die_reading(db, err);
  // With --run the span is the runs', not the store's.
  auto of = [&](const char *which) {
    return sel.run.empty() ? std::string("the store's ") + which + " sample"
                           : std::string("the ") + which + " sample of " + runs_text(sel.runs);
  };
  if (any && sel.from > last)
    not_found(db, "--from " + utc_text(sel.from) + " is after " + of("last") + " at " +
                      utc_text(last) + " (UTC)");
  if (any && sel.to < first)
    not_found(db, "--to " + utc_text(sel.to) + " is before " + of("first") + " at " +
                      utc_text(first) + " (UTC)");
}

/* What sel asks for, for a message: "group 'Db', label Server=S1". */
std::string selection_text(const Selection &sel) {
  std::vector<std::string> parts;
  if (!sel.group.empty()) parts.push_back("group '" + sel.group + "'");
  if (!sel.graph.empty()) parts.push_back("graph '" + sel.graph + "'");
  for (const auto &[tag, value] : sel.labels) parts.push_back("label " + tag + "=" + value);
  if (!sel.run.empty()) parts.push_back(runs_text(sel.runs));
  if (!sel.role.empty()) parts.push_back("role '" + sel.role + "'");
  std::string out;
  for (const std::string &p : parts) out += (out.empty() ? "" : ", ") + p;
  return out.empty() ? "the store" : out;
}

/* Dies unless some selected series holds a sample of a selected graph in
 * the window: an answer with nothing in it would read as a run without
 * data. Stops at the first sample found. */
void require_a_sample(sqlite3 *db, const Selection &sel, const Selected &picked) {
  std::string err;
  for (const SelectedGraph &g : picked.graphs)
    for (const SelectedSeries &s : *g.series) {
      bool any = false;
      if (!orvtsdb::any_stored_sample(db, s.sid, g.idx, sel.from, sel.to, &any, err))
        die_reading(db, err);
      if (any) return;
    }
  // Nothing in the chunk rows; a damaged row would also read as nothing, so
  // the checked walk (rows held against the series' recorded facts) has the
  // last word before the selection is called empty.
  for (const SelectedGraph &g : picked.graphs)
    for (const SelectedSeries &s : *g.series) {
      bool any = false;
      for_each_sample(db, sel, g, s.sid, [&](int64_t, int64_t, const double *) { any = true; });
      if (any) return;
    }
  std::string window;
  if (sel.from != std::numeric_limits<int64_t>::min()) window += " from " + utc_text(sel.from);
  if (sel.to != std::numeric_limits<int64_t>::max()) window += " to " + utc_text(sel.to);
  not_found(db, "no sample of " + selection_text(sel) + " is stored" +
                    (window.empty() ? "" : window + " (UTC)"));
}

}  // namespace

void add_run_option(CLI::App &cmd, std::string &run) {
  cmd.add_option("--run", run,
                 "one run of a store that holds several: its number (3 or #3), its id (or the "
                 "start of it) or its name (TR<n>, the run folder); default: every run")
      ->type_name("RUN")
      // An empty value (an unset variable) would silently read every run.
      ->check([](const std::string &t) { return t.empty() ? "it needs a run" : ""; });
}

std::string run_label(const orvtsdb::RunEntry &run) {
  return "#" + std::to_string(run.number) + (run.name.empty() ? "" : " " + run.name);
}

std::string runs_text(const std::vector<orvtsdb::RunEntry> &runs) {
  if (runs.size() == 1) return "run " + run_label(runs[0]) + " (" + runs[0].id.substr(0, 12) + ")";
  std::string out = std::to_string(runs.size()) + " runs";
  for (size_t i = 0; i < runs.size(); i++) out += (i ? ", " : ": ") + run_label(runs[i]);
  return out;
}

namespace {

/* The store's runs, one a line, for a message that asks to choose. */
std::string run_choices(const std::vector<orvtsdb::RunEntry> &runs) {
  std::string out;
  for (const orvtsdb::RunEntry &r : runs)
    out += "\n  " + run_label(r) + "  " + r.id + "  started " +
           (r.start_time > 0 ? utc_text(r.start_time) + " UTC" : "-") +
           (r.run_dir.empty() ? "" : "  " + r.run_dir);
  return out;
}

bool is_number(const std::string &s) {
  return !s.empty() && s.size() < 19 && s.find_first_not_of("0123456789") == std::string::npos;
}

bool is_hex(const std::string &s) {
  return s.size() >= 6 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

/* Whether selector names run r (see selection.h). */
bool names(const std::string &selector, const orvtsdb::RunEntry &r) {
  std::string number = selector[0] == '#' ? selector.substr(1) : selector;
  if (is_number(number) && std::stoll(number) == r.number) return true;
  // An id, or the start of one, in either case (ids are kept in lower case).
  std::string hex = orvtsdb::lower(selector);
  if (is_hex(hex) && r.id.compare(0, hex.size(), hex) == 0) return true;
  // A folder the run was migrated from, the last or an earlier one.
  return selector == r.id || (!r.name.empty() && selector == r.name) ||
         std::find(r.folders.begin(), r.folders.end(), selector) != r.folders.end();
}

}  // namespace

std::optional<std::set<int64_t>> graphs_held(sqlite3 *db, const Selection &sel) {
  std::vector<int64_t> runs = run_numbers(db, sel);
  if (runs.empty()) return std::nullopt;
  std::set<int64_t> held;
  std::string err;
  if (!orvtsdb::graphs_of_runs(db, runs, held, err)) die_reading(db, err);
  return held;
}

std::vector<orvtsdb::RunEntry> select_runs(sqlite3 *db, const std::string &selector) {
  std::vector<orvtsdb::RunEntry> all;
  bool apart = false;
  std::string err;
  if (!orvtsdb::list_runs(db, all, err) || !orvtsdb::series_have_runs(db, &apart, err))
    die_reading(db, err);
  if (selector.empty()) return all;
  std::vector<orvtsdb::RunEntry> picked;
  for (const orvtsdb::RunEntry &r : all)
    if (names(selector, r)) picked.push_back(r);
  std::string store = orvtsdb::store_name(db);
  if (picked.empty())
    die(EXIT_NO_MATCH, store + ": no run '" + selector + "' in the store; its runs:" +
                           (all.empty() ? std::string(" none") : run_choices(all)));
  if (picked.size() > 1)
    die(EXIT_NO_MATCH, store + ": '" + selector + "' names " + std::to_string(picked.size()) +
                           " runs; choose one by number or id:" + run_choices(picked));
  if (!apart && all.size() > 1)
    die(EXIT_NO_MATCH, store +
                           ": a store of this older format keeps the series of its runs "
                           "together, so one run cannot be read apart; the next migration into "
                           "it separates them (or read every run without --run)");
  return picked;
}

void require_one_run(sqlite3 *db, const Selection &sel, const std::string &command) {
  if (sel.runs.size() <= 1) return;
  bool apart = false;
  std::string err;
  if (!orvtsdb::series_have_runs(db, &apart, err)) die_reading(db, err);
  if (!apart) return;  // an older store is read whole, as it was written
  die(EXIT_NO_MATCH, orvtsdb::store_name(db) + ": the store holds " +
                         std::to_string(sel.runs.size()) + " runs and " + command +
                         " reads one; choose it with --run:" + run_choices(sel.runs));
}

void add_selection_options(CLI::App &cmd, Selection &sel, bool groups_and_labels_only) {
  add_run_option(cmd, sel.run);
  cmd.add_option("--group", sel.group, "metric group (by name)");
  cmd.add_option_function<std::vector<std::string>>(
         "--label",
         [&sel](const std::vector<std::string> &labels) {
           for (const std::string &l : labels)
             sel.labels.emplace_back(l.substr(0, l.find('=')), l.substr(l.find('=') + 1));
         },
         "series carrying tag=value (repeatable; all must match)")
      ->type_name("TAG=VALUE")
      ->check([](const std::string &l) {
        return l.find('=') == std::string::npos || l[0] == '=' ? "'" + l + "' is not TAG=VALUE"
                                                               : std::string();
      });
  if (groups_and_labels_only) return;
  cmd.add_option("--graph", sel.graph, "graph (by name)");
  cmd.add_option("--role", sel.role, "one role: value, avg, min, max, count, fifth");
  CLI::Validator when(time_check, "TIME", "time");
  cmd.add_option_function<std::string>(
         "--from", [&sel](const std::string &t) { sel.from_arg = parse_time(t); },
         "first time: seconds or milliseconds (12 digits or more) since the epoch, ISO 8601 "
         "(UTC unless an offset is given; a fraction starts at the next second), or +DURATION "
         "after the run's first sample (+10m, +1h30m)")
      ->check(when);
  cmd.add_option_function<std::string>(
         "--to", [&sel](const std::string &t) { sel.to_arg = parse_time(t); },
         "last time, included, as --from")
      ->check(when);
}

Selected select_samples(sqlite3 *db, Selection &sel) {
  sel.runs = select_runs(db, sel.run);
  resolve_times(db, sel);
  if (sel.from > sel.to)
    die(EXIT_USAGE,
        "--from " + utc_text(sel.from) + " is after --to " + utc_text(sel.to) + " (UTC)");
  check_time_range(db, sel);
  check_group(db, sel);
  Selected out;
  out.graphs = graphs_of(db, sel);
  if (out.graphs.empty() && !sel.graph.empty())
    not_found(db, "no graph '" + sel.graph + "'" + in_group(sel) + " in the store");
  drop_other_runs_graphs(db, sel, out.graphs);
  auto series = series_by_group(db, sel, out.graphs);
  for (SelectedGraph &g : out.graphs) g.series = series[g.gid];
  pick_roles(db, sel, out.graphs);
  require_a_sample(db, sel, out);
  return out;
}

void for_each_sample(sqlite3 *db, const Selection &sel, const SelectedGraph &g, int64_t sid,
                     const std::function<void(int64_t, int64_t, const double *)> &fn) {
  int roles = std::max(1, orv_role_count(g.data_type));
  std::vector<double> values(roles);
  std::string err;
  auto each = [&](const orvtsdb::ChunkView &c) {
    for (int i = 0; i < c.count; i++) {
      int64_t t = c.start + i * c.step;
      if (t < sel.from || t > sel.to) continue;
      for (int r = 0; r < roles; r++) values[r] = r < c.roles ? c.column(r)[i] : TSDB_MISSING_VALUE;
      fn(t, c.step, values.data());
    }
  };
  if (!orvtsdb::for_each_chunk(db, sid, g.idx, sel.from, sel.to, each, err))
    die(EXIT_FAILURE_OTHER, err);
}

bool read_sample_columns(orvtsdb::ChunkWalker &walk, const Selection &sel, const SelectedGraph &g,
                         int64_t sid, int64_t shift, SampleColumns &out, std::string &err) {
  size_t roles = (size_t)std::max(1, orv_role_count(g.data_type));
  out.times.clear();  // the columns keep their room: a reader reuses them
  out.roles.resize(roles);
  for (std::vector<double> &col : out.roles) col.clear();
  auto each = [&](const orvtsdb::ChunkView &c) {
    // The samples inside the window: one run of them when time rises.
    int first = 0, end = c.count;
    if (c.step > 0) {
      while (first < end && c.start + first * c.step < sel.from) first++;
      while (end > first && c.start + (end - 1) * c.step > sel.to) end--;
    }
    for (int i = first; i < end; i++) {
      int64_t t = c.start + i * c.step;
      if (t < sel.from || t > sel.to) continue;
      out.times.push_back(t + shift);
    }
    size_t kept = out.times.size() - out.roles[0].size();
    for (size_t r = 0; r < roles; r++) {
      std::vector<double> &col = out.roles[r];
      if (kept == (size_t)(end - first) && (int)r < c.roles) {
        col.insert(col.end(), c.column((int)r) + first, c.column((int)r) + end);
        continue;
      }
      for (int i = first; i < end; i++) {
        int64_t t = c.start + i * c.step;
        if (t < sel.from || t > sel.to) continue;
        col.push_back((int)r < c.roles ? c.column((int)r)[i] : TSDB_MISSING_VALUE);
      }
    }
  };
  return walk.for_each_chunk(sid, g.idx, sel.from, sel.to, each, err);
}

const char *role_text(const SelectedGraph &g, int r) { return orv_role_name(g.data_type, r); }

}  // namespace orvtsdb_cli
