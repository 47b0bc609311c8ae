/*
 * command_kit.h - what every `orvtsdb` command is built from: the exit
 * statuses and the one place that gives up (die), and the opened store.
 * The registration of a command with the command line is command_line.h's.
 */
#ifndef ORVTSDB_COMMAND_KIT_H
#define ORVTSDB_COMMAND_KIT_H

#include <sqlite3.h>

#include <string>

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
 * it): "<store>: <err>", as every fault names its store (err as it is when
 * it names the store already). */
[[noreturn]] void die_reading(sqlite3 *db, const std::string &err);

/* From now on, die() also ends standard output with a line of its own,
 * "<what> incomplete: <message>", so that a consumer reading the output
 * from a pipe sees that it stops short, not only the exit status. For a
 * command that has checked what it can before its first line and may still
 * fail part-way (a damaged chunk blob). */
void note_incomplete_output_on_die(const std::string &what);

/* The store the command opened last, as it was named ("" before any): what
 * a failure that reaches main() (out of memory) names. */
const std::string &last_store_named();

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

}  // namespace orvtsdb_cli

#endif
