/*
 * command_kit.cpp - the pieces every command shares: die(), the opened
 * store, and the subcommand with its <store> positional.
 */
#include <cstdio>
#include <cstdlib>

#include "command_kit.h"
#include "store_reading.h"

namespace orvtsdb_cli {

void die(int status, const std::string &message) {
  std::fflush(stdout);
  std::fprintf(stderr, "orvtsdb: %s\n", message.c_str());
  std::exit(status);
}

void prepare(sqlite3 *db, orvtsdb::Stmt &s, const char *sql) {
  std::string err;
  if (!s.prepare(db, sql, err)) die(EXIT_FAILURE_OTHER, err);
}

bool row(sqlite3 *db, orvtsdb::Stmt &s) {
  int rc = s.step();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) die(EXIT_FAILURE_OTHER, sqlite3_errmsg(db));
  return rc == SQLITE_ROW;
}

nlohmann::ordered_json int_or_null(const orvtsdb::Stmt &s, int col) {
  return s.col_null(col) ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(s.col_int(col));
}

Store::Store(const std::string &argument, bool checked) {
  std::string err;
  db_ = orvtsdb::open_store_for_reading(argument, &path_, err);
  if (!db_ || (checked && !orvtsdb::check_store(db_, err))) die(EXIT_FAILURE_OTHER, err);
}

Store::~Store() { sqlite3_close(db_); }

CLI::App *add_store_command(CLI::App &app, const std::string &name, const std::string &description,
                            std::string &store) {
  CLI::App *cmd = app.add_subcommand(name, description);
  cmd->add_option("store", store, "run directory (<dir>/tsdb/metrics.sqlite) or store file")
      ->required();
  return cmd;
}

void add_format_option(CLI::App &cmd, std::string &format,
                       const std::vector<std::string> &choices) {
  format = choices.front();
  cmd.add_option("--format", format, "output format")
      ->check(CLI::IsMember(choices))
      ->capture_default_str();
}

}  // namespace orvtsdb_cli
