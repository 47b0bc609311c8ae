/*
 * selection.h - which samples a command reads: the options --run, --group,
 * --graph, --from, --to, --label key=value (repeatable) and --role, checked
 * against the store, and the walk over the selected samples.
 *
 * A store holds one or many runs, each with series of its own. --run names
 * one by its number in the store (3 or #3), its id (the hex digits of
 * run.id, or enough of their start to tell it from the others), or its name
 * (the run folder's last part, TR<n>, or the whole folder as recorded);
 * without it a command reads every run.
 *
 * Any command that reads samples adds the options with
 * add_selection_options(), turns them into graphs and series with
 * select_samples(), and reads each series with for_each_sample().
 */
#ifndef ORVTSDB_SELECTION_H
#define ORVTSDB_SELECTION_H

#include <sqlite3.h>

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "store_reading.h"
#include "time_text.h"

namespace orvtsdb_cli {

struct Selection {
  std::string run;                                          // --run as given; empty: every run
  std::string group, graph, role;                           // empty: any
  std::vector<std::pair<std::string, std::string>> labels;  // all must match
  std::optional<TimeArg> from_arg, to_arg;                  // --from / --to as given
  // The window read, in whole seconds, both ends included: what --from and
  // --to name once select_samples() has resolved them against the store.
  int64_t from = std::numeric_limits<int64_t>::min();
  int64_t to = std::numeric_limits<int64_t>::max();
  // The runs read: what --run names, or every run of the store, once
  // select_samples() has resolved it.
  std::vector<orvtsdb::RunEntry> runs;
};

/* Adds --run to cmd, bound to *run. */
void add_run_option(CLI::App &cmd, std::string &run);

/* The runs of db that `selector` names (every run when it is empty). Dies
 * (status 1) listing the store's runs when it names none, or names several
 * (a name two runs share) or when the store keeps its runs' series together
 * (an older store holding several runs, until a migration upgrades it). */
std::vector<orvtsdb::RunEntry> select_runs(sqlite3 *db, const std::string &selector);

/* The graphs (gid * 2^32 + idx) that the runs sel.run names hold samples
 * of; none (every graph is theirs) when sel reads every run of db. Groups
 * and graphs are shared by a store's runs: a reader of some of its runs
 * lists only these, as the runs' own stores would hold them. */
std::optional<std::set<int64_t>> graphs_held(sqlite3 *db, const Selection &sel);

/* "run #2 TR1 (6a0f...)" or "3 runs: #1 TR1, #2 TR1, #3 TR2", for the line
 * a command prints about what it read. */
std::string runs_text(const std::vector<orvtsdb::RunEntry> &runs);

/* "#2 TR1": a run as a column shows it. */
std::string run_label(const orvtsdb::RunEntry &run);

/* Dies (status 1) unless sel reads one run of a store that holds several:
 * `command` judges one run, and the message lists the runs to choose from.
 * A store with one run needs no --run. */
void require_one_run(sqlite3 *db, const Selection &sel, const std::string &command);

/* Adds --run, --group, --label and, unless `groups_and_labels_only`,
 * --graph, --role, --from and --to to cmd, bound to sel. Malformed values (a label
 * without "=", a time parse_time does not read) are usage errors of the
 * parse. */
void add_selection_options(CLI::App &cmd, Selection &sel, bool groups_and_labels_only = false);

using Tags = std::vector<std::pair<std::string, std::string>>;

/* A series: sid, the stored identity text "tag=value,..." and its tags. */
using SelectedSeries = orvtsdb::SeriesEntry;

struct SelectedGraph {
  int64_t gid;
  int idx;  // position in its group
  int data_type;
  std::string group, name, description;
  std::vector<int> roles;  // role numbers selected (all of the data type without --role)
  std::shared_ptr<const std::vector<SelectedSeries>> series;  // the group's selected series
  double rate_unit = 0;  // a value's unit per second of its interval (0: a count), graph_places.h
};

struct Selected {
  std::vector<SelectedGraph> graphs;  // by group name, then graph position
};

/* The graphs and series sel picks in db (only the series of sel.runs),
 * after setting sel.runs from --run and sel.from and sel.to from --from and
 * --to (an offset such as "+10m" counts from the first sample of the runs
 * read). A selection that matches nothing dies with status 1 and one
 * line naming what matched nothing: a group, graph, label or role the store
 * does not hold, a window outside the stored times, or a window in which no
 * selected series has a sample. --from after --to is a usage error
 * (status 2); an SQLite failure is status 1. */
Selected select_samples(sqlite3 *db, Selection &sel);

/* Calls fn(time, step, values) for every stored sample of series sid in
 * graph g within sel's time range, in time order; step is the seconds the
 * sample covers (its chunk's step), values[r] role r of the data type (the
 * missing marker where nothing was known). Dies (status 1) on a damaged
 * chunk or an SQLite error. */
void for_each_sample(sqlite3 *db, const Selection &sel, const SelectedGraph &g, int64_t sid,
                     const std::function<void(int64_t, int64_t, const double *)> &fn);

/* The samples of one series in one graph, decoded into columns: times and
 * one column per role of the data type (every role, as whether one reads as
 * absent depends on the count). */
struct SampleColumns {
  std::vector<int64_t> times;
  std::vector<std::vector<double>> roles;
};

/* What for_each_sample gives, as columns, into out: the samples of series
 * sid in graph g within sel's time range, in time order, each time moved by
 * `shift`. false with the reason in err on a damaged chunk or an SQLite
 * error, for the caller to finish its output before it dies. */
bool read_sample_columns(orvtsdb::ChunkWalker &walk, const Selection &sel, const SelectedGraph &g,
                         int64_t sid, int64_t shift, SampleColumns &out, std::string &err);

/* Role name of role r of graph g ("value", "avg", ...). */
const char *role_text(const SelectedGraph &g, int r);

}  // namespace orvtsdb_cli

#endif
