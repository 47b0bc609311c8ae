/*
 * orvtsdb_command.h - the subcommands of `orvtsdb`, each reading one opened
 * store and writing to standard output. They report failures through die().
 */
#ifndef ORVTSDB_COMMAND_H
#define ORVTSDB_COMMAND_H

#include <sqlite3.h>

#include <cstdint>
#include <limits>
#include <string>

namespace orvtsdb_cli {

/* Exit statuses of the command. */
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_FAILURE_OTHER = 1;

/* The one place the command gives up: "orvtsdb: <message>" on standard
 * error, then exit with `status`. */
[[noreturn]] void die(int status, const std::string &message);

struct ExportOptions {
  std::string format;  // "csv" or "openmetrics"
  std::string group, graph;
  int64_t from = std::numeric_limits<int64_t>::min();
  int64_t to = std::numeric_limits<int64_t>::max();
};

void print_info(sqlite3 *db, const std::string &path);
void print_groups(sqlite3 *db);
void print_series(sqlite3 *db, const std::string &group);
void run_sql(sqlite3 *db, const std::string &sql);
void export_samples(sqlite3 *db, const ExportOptions &opt);

/* `orvtsdb verify`: SQLite's integrity check of the file at `path` opened as
 * db, every chunk decoded and its checksum, shape and place checked, and
 * every migration's sample count against its chunks. Prints each fault and
 * a summary on standard output; returns the exit status: 0 when nothing is
 * wrong, EXIT_FAILURE_OTHER on any fault. Closes db. */
int verify_store(sqlite3 *db, const std::string &path);

}  // namespace orvtsdb_cli

#endif
