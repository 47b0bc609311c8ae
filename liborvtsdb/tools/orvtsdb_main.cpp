/*
 * orvtsdb_main.cpp - `orvtsdb`: reads a store written by liborvtsdb.
 *
 * Parses the command line, opens the store read-only (a run directory means
 * <run-dir>/tsdb/metrics.sqlite) with the `samples` table available, and
 * hands over to the subcommand. Exit status 0 on success, 2 on a usage
 * error, 1 on any other error, each with one message on standard error.
 */
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "orvtsdb_command.h"
#include "samples_vtab.h"
#include "store_location.h"

using namespace orvtsdb_cli;

namespace {

const char *const USAGE =
    "usage: orvtsdb <command> <run-dir|db> [options]\n"
    "\n"
    "Reads the time-series store of a run (<run-dir>/tsdb/metrics.sqlite) or a store file.\n"
    "\n"
    "commands:\n"
    "  info <store>                   migrations, time span, counts, bytes used\n"
    "  groups <store>                 metric groups with their graphs and series\n"
    "  series <store> [--group NAME]  series with their tag/value lists\n"
    "  export <store> --format csv|openmetrics [--group NAME] [--graph NAME]\n"
    "                 [--from EPOCH] [--to EPOCH]\n"
    "                                 samples to standard output, one line per\n"
    "                                 series, graph, time stamp and role\n"
    "  push <store> --url URL [--group NAME] [--graph NAME] [--from EPOCH] [--to EPOCH]\n"
    "                 [--batch SAMPLES] [--timeout SECONDS] [--retries N] [--user USER:PASSWORD]\n"
    "                 [--bearer-token-file FILE] [--header 'NAME: VALUE']...\n"
    "                                 samples to a time-series engine's remote-write URL\n"
    "  sql <store> \"SELECT ...\"       SQL over the store; the table `samples`\n"
    "                                 (sid, group_name, graph_name, graph, role, time,\n"
    "                                 value, labels) decodes the stored chunks\n"
    "  --help                         this text\n";

[[noreturn]] void usage_error(const std::string &message) {
  die(EXIT_USAGE, message + " (orvtsdb --help shows the usage)");
}

sqlite3 *open_store(const std::string &arg) {
  std::string path = orvtsdb::db_path_of_argument(arg);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) die(EXIT_FAILURE_OTHER, "no store at " + path);
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
    die(EXIT_FAILURE_OTHER, path + ": " + sqlite3_errmsg(db));
  sqlite3_busy_timeout(db, 5000);
  if (sqlite3_exec(db, "SELECT 1 FROM chunks LIMIT 1", nullptr, nullptr, nullptr) != SQLITE_OK)
    die(EXIT_FAILURE_OTHER, path + " is not a store: " + sqlite3_errmsg(db));
  orvtsdb::register_samples_table(db);
  return db;
}

int64_t epoch_arg(const std::string &opt, const char *text) {
  char *end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (errno || end == text || *end) usage_error(opt + " wants seconds since the epoch, not '" + text + "'");
  return v;
}

/* Reads the --name VALUE pairs after the store argument. */
ExportOptions parse_options(const std::vector<std::string> &args, const std::string &allowed) {
  ExportOptions o;
  for (size_t i = 0; i < args.size(); i += 2) {
    const std::string &name = args[i];
    if (name.rfind("--", 0) != 0 || allowed.find(" " + name + " ") == std::string::npos)
      usage_error("unexpected argument '" + name + "'");
    if (i + 1 >= args.size()) usage_error(name + " needs a value");
    const std::string &v = args[i + 1];
    if (name == "--format") o.format = v;
    if (name == "--group") o.group = v;
    if (name == "--graph") o.graph = v;
    if (name == "--from") o.from = epoch_arg(name, v.c_str());
    if (name == "--to") o.to = epoch_arg(name, v.c_str());
  }
  return o;
}

}  // namespace

namespace orvtsdb_cli {

void die(int status, const std::string &message) {
  std::fflush(stdout);
  std::fprintf(stderr, "orvtsdb: %s\n", message.c_str());
  std::exit(status);
}

}  // namespace orvtsdb_cli

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(USAGE, stdout);
    return 0;
  }
  if (args.empty()) usage_error("no command given");
  const std::string cmd = args[0];
  if (cmd != "info" && cmd != "groups" && cmd != "series" && cmd != "export" && cmd != "sql" &&
      cmd != "push")
    usage_error("unknown command '" + cmd + "'");
  if (args.size() < 2) usage_error(cmd + " needs a run directory or store file");
  std::vector<std::string> rest(args.begin() + 2, args.end());
  if (cmd == "sql" && rest.size() != 1) usage_error("sql needs one quoted SQL text");
  if ((cmd == "info" || cmd == "groups") && !rest.empty())
    usage_error("unexpected argument '" + rest[0] + "'");
  ExportOptions opt;
  if (cmd == "series") opt = parse_options(rest, " --group ");
  if (cmd == "export") {
    opt = parse_options(rest, " --format --group --graph --from --to ");
    if (opt.format != "csv" && opt.format != "openmetrics")
      usage_error("export needs --format csv or --format openmetrics");
  }
  PushOptions push;
  if (cmd == "push") push = parse_push_options(rest);
  sqlite3 *db = open_store(args[1]);
  if (cmd == "push") push_samples(db, push);
  if (cmd == "info") print_info(db, orvtsdb::db_path_of_argument(args[1]));
  if (cmd == "groups") print_groups(db);
  if (cmd == "series") print_series(db, opt.group);
  if (cmd == "export") export_samples(db, opt);
  if (cmd == "sql") run_sql(db, rest[0]);
  sqlite3_close(db);
  if (std::fflush(stdout) != 0) die(EXIT_FAILURE_OTHER, "cannot write standard output");
  return 0;
}
