/*
 * command_kit.cpp - the pieces every command shares: die(), the opened
 * store, and the subcommand with its <store> positional.
 */
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "orvtsdb_command.h"
#include "samples_vtab.h"
#include "store_location.h"

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

Store::Store(const std::string &argument) : path_(orvtsdb::db_path_of_argument(argument)) {
  struct stat st;
  if (::stat(path_.c_str(), &st) != 0) die(EXIT_FAILURE_OTHER, "no store at " + path_);
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
    die(EXIT_FAILURE_OTHER, path_ + ": " + sqlite3_errmsg(db_));
  sqlite3_busy_timeout(db_, 5000);
  if (sqlite3_exec(db_, "SELECT 1 FROM chunks LIMIT 1", nullptr, nullptr, nullptr) != SQLITE_OK)
    die(EXIT_FAILURE_OTHER, path_ + " is not a store: " + sqlite3_errmsg(db_));
  if (orvtsdb::register_samples_table(db_) != SQLITE_OK)
    die(EXIT_FAILURE_OTHER, path_ + ": cannot add the samples table: " + sqlite3_errmsg(db_));
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
