/*
 * selection.h - which samples a command reads: the options --group, --graph,
 * --from, --to, --label key=value (repeatable) and --role, checked against
 * the store, and the walk over the selected samples.
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
#include <string>
#include <utility>
#include <vector>

#include "store_reading.h"

namespace orvtsdb_cli {

struct Selection {
  std::string group, graph, role;                           // empty: any
  std::vector<std::pair<std::string, std::string>> labels;  // all must match
  int64_t from = std::numeric_limits<int64_t>::min();
  int64_t to = std::numeric_limits<int64_t>::max();
};

/* Adds --group, --label and, unless `groups_and_labels_only`, --graph,
 * --role, --from and --to to cmd, bound to sel. Malformed values (a label
 * without "=", a time that is neither epoch seconds nor ISO 8601) are usage
 * errors of the parse. */
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
};

struct Selected {
  std::vector<SelectedGraph> graphs;  // by group name, then graph position
};

/* The graphs and series sel picks in db. Dies with status 2 naming what is
 * wrong when a group, graph, label or role matches nothing in the store, or
 * --from is after --to; on an SQLite failure with status 1. */
Selected select_samples(sqlite3 *db, const Selection &sel);

/* Calls fn(time, values) for every stored sample of series sid in graph g
 * within sel's time range, in time order; values[r] is role r of the data
 * type (the missing marker where nothing was known). Dies (status 1) on a
 * damaged chunk or an SQLite error. */
void for_each_sample(sqlite3 *db, const Selection &sel, const SelectedGraph &g, int64_t sid,
                     const std::function<void(int64_t, const double *)> &fn);

/* Role name of role r of graph g ("value", "avg", ...). */
const char *role_text(const SelectedGraph &g, int r);

}  // namespace orvtsdb_cli

#endif
