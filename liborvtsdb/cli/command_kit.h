/*
 * command_kit.h - what every `orvtsdb` command is built from: the exit
 * statuses and the one place that gives up (die), the opened store, and the
 * registration of a command with the CLI11 application.
 *
 * Adding a command takes a file with one function,
 *
 *   void add_frob_command(CLI::App &app) {
 *     auto o = std::make_shared<FrobOptions>();
 *     CLI::App *cmd = add_store_command(app, "frob", "what it does", o->store);
 *     add_selection_options(*cmd, o->sel);        // selection.h, when it reads samples
 *     cmd->callback([o] { Store s(o->store); ...; });
 *   }
 *
 * declared below and listed in the table of main.cpp. Options live in
 * a shared_ptr held by the callback, so they outlive the parse.
 */
#ifndef ORVTSDB_COMMAND_KIT_H
#define ORVTSDB_COMMAND_KIT_H

#include <sqlite3.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace orvtsdb_cli {

/* Exit statuses: 0 success; 2 a command line that cannot be read (unknown
 * option, malformed value, a reversed range); 1 a selection that matches
 * nothing stored (a group, graph, label or role the store lacks, a window
 * without samples) and any other failure (no store, SQLite error, damaged
 * chunk, write error). */
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_FAILURE_OTHER = 1;
constexpr int EXIT_NO_MATCH = 1;
/* compare and history with --fail-on-regression: a regression was found. */
constexpr int EXIT_REGRESSION = 3;

/* The one place the command gives up: "orvtsdb: <message>" on standard
 * error, then exit with `status`. Standard output is flushed first. */
[[noreturn]] void die(int status, const std::string &message);

/* die(1) for a read of the store at db that failed with err (an SQLite
 * error such as a malformed page, which the library gives as SQLite says
 * it): "<store>: <err>", as every fault names its store. */
[[noreturn]] void die_reading(sqlite3 *db, const std::string &err);

/* From now on, die() also ends standard output with a line of its own,
 * "<what> incomplete: <message>", so that a consumer reading the output
 * from a pipe sees that it stops short, not only the exit status. For a
 * command that has checked what it can before its first line and may still
 * fail part-way (a damaged chunk blob). */
void note_incomplete_output_on_die(const std::string &what);

/* A store opened read-only for the life of the object, with the `samples`
 * table available. The argument is a run directory (<dir>/tsdb/metrics.sqlite)
 * or a database file. Dies (status 1) when there is no store or it is not one,
 * and, when `checked`, when what it holds besides the chunks is damaged
 * (check_store of store_reading.h): only `sql` and `verify`, which look at a
 * damaged store too, open it unchecked. */
class Store {
 public:
  explicit Store(const std::string &argument, bool checked = true);
  ~Store();
  Store(const Store &) = delete;
  Store &operator=(const Store &) = delete;
  sqlite3 *db() const { return db_; }
  const std::string &path() const { return path_; }

 private:
  sqlite3 *db_ = nullptr;
  std::string path_;
};

/* Adds subcommand `name` to app with the required positional <store> bound
 * to `store` (options and positionals may come in any order). */
CLI::App *add_store_command(CLI::App &app, const std::string &name, const std::string &description,
                            std::string &store);

/* Adds --format with the given choices (the first is the default). */
void add_format_option(CLI::App &cmd, std::string &format, const std::vector<std::string> &choices);

/* The commands; each registers itself with its options and callback. */
void add_info_command(CLI::App &app);
void add_groups_command(CLI::App &app);
void add_series_command(CLI::App &app);
void add_export_command(CLI::App &app);
void add_sql_command(CLI::App &app);
void add_report_command(CLI::App &app);
void add_verify_command(CLI::App &app);
void add_push_command(CLI::App &app);
void add_compare_command(CLI::App &app);
void add_dashboard_command(CLI::App &app);
void add_history_command(CLI::App &app);
void add_label_command(CLI::App &app);

}  // namespace orvtsdb_cli

#endif
