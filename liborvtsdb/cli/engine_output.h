/*
 * engine_output.h - what `push` and `export --format openmetrics` share
 * besides the engine mapping itself (engine_mapping.h): which of
 * a graph's engine series a --role selection keeps, and --align-start.
 */
#ifndef ORVTSDB_ENGINE_OUTPUT_H
#define ORVTSDB_ENGINE_OUTPUT_H

#include <sqlite3.h>

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "engine_mapping.h"

namespace orvtsdb_cli {

/* Whether engine series o of mapping m is selected when `roles` are: its
 * role is; a sum needs the average and the count. */
bool output_selected(const std::vector<int> &roles, const orvtsdb::GraphMapping &m, size_t o);

/* Adds --align-start TIME (any time --from takes) bound to `text`. */
void add_align_start_option(CLI::App &cmd, std::string &text);

/* Seconds to add to every time stamp so that the first sample of the runs
 * `run` names (--run as given; empty: every run) falls on the time `text`
 * names; 0 when it is empty or they hold nothing. Dies (status 1) on an
 * SQLite error or a --run that names no run. */
int64_t align_shift(sqlite3 *db, const std::string &text, const std::string &run);

}  // namespace orvtsdb_cli

#endif
