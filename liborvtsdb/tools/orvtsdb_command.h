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
#include <vector>

#include "remote_write_client.h"

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

/* `push`: the export selection plus where and how to send it. */
struct PushOptions {
  ExportOptions select;
  orvtsdb::RemoteWriteOptions remote;
};

/* The options after `push <store>`; a usage error ends the command. */
PushOptions parse_push_options(const std::vector<std::string> &args);
/* Sends the selected samples; returns only when the engine accepted all. */
void push_samples(sqlite3 *db, const PushOptions &opt);

void print_info(sqlite3 *db, const std::string &path);
void print_groups(sqlite3 *db);
void print_series(sqlite3 *db, const std::string &group);
void run_sql(sqlite3 *db, const std::string &sql);
void export_samples(sqlite3 *db, const ExportOptions &opt);

}  // namespace orvtsdb_cli

#endif
