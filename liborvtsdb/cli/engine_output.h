/*
 * engine_output.h - what `push` and `export --format openmetrics` share
 * besides the engine mapping itself (engine_mapping.h): the names of graphs
 * whose mapped names meet, which of a graph's engine series a --role
 * selection keeps, the count of values left out as not finite, and
 * --align-start.
 */
#ifndef ORVTSDB_ENGINE_OUTPUT_H
#define ORVTSDB_ENGINE_OUTPUT_H

#include <sqlite3.h>

#include <CLI/CLI.hpp>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine_mapping.h"

namespace orvtsdb_cli {

/* Whether engine series o of mapping m is selected when `roles` are: its
 * role is; a sum needs the average and the count. */
bool output_selected(const std::vector<int> &roles, const orvtsdb::GraphMapping &m, size_t o);

/* How many of the n values at `values` are not finite (NaN, an infinity):
 * stored values the mapping leaves out (engine_mapping.h). */
int64_t non_finite_values(const double *values, size_t n);

/* What push's and the export's closing lines add for `non_finite` values
 * left out: "" for none, else "; 3 non-finite values left out". */
std::string non_finite_text(int64_t non_finite);

/* The engine names of a store's graphs, the same in every command whatever
 * it selects: a graph keeps the name the mapping gives it unless a graph
 * before it (by group id, then position) already gives one of its family
 * names with another type, from another name (a times graph's "x_avg" and a
 * graph named "x avg"), or to a series of the same group and graph labels
 * (two graphs whose names differ only in a unit the mapping converts: their
 * series would be one); then every name of it takes "_<gid>_<idx>" after
 * the mapping's name. Graphs that share a name otherwise share its families,
 * told apart by their graph label. */
class EngineNames {
 public:
  /* Reads the store's graphs; dies (status 1) on an SQLite error. */
  explicit EngineNames(sqlite3 *db);
  /* The mapping of graph (gid, idx) of `group`, `name`, `description` for
   * data type `data_type`, with its names as above. */
  orvtsdb::GraphMapping mapping(int64_t gid, int idx, const std::string &group,
                                const std::string &name, const std::string &description,
                                int data_type) const;

 private:
  std::map<std::pair<int64_t, int>, std::string> suffix_;  // of the renamed graphs
};

/* Adds --align-start TIME (any time --from takes) bound to `text`. */
void add_align_start_option(CLI::App &cmd, std::string &text);

/* Seconds to add to every time stamp so that the first sample of the runs
 * `run` names (--run as given; empty: every run) falls on the time `text`
 * names; 0 when it is empty or they hold nothing. Dies (status 1) on an
 * SQLite error or a --run that names no run. */
int64_t align_shift(sqlite3 *db, const std::string &text, const std::string &run);

}  // namespace orvtsdb_cli

#endif
