/*
 * main.cpp - `orvtsdb`: reads a store written by liborvtsdb.
 *
 * Builds the CLI11 application from the commands' registration functions and
 * runs the one command given. Exit status 0 on success, 2 on a usage error,
 * 1 on any other error, each with one message on standard error; --help and
 * --version (also after a command) print to standard output.
 */
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "command_line.h"

using namespace orvtsdb_cli;

namespace {

/* Every command, in the order --help lists them. */
void (*const kCommands[])(CLI::App &) = {
    add_info_command,    add_groups_command,    add_series_command,  add_export_command,
    add_sql_command,     add_report_command,    add_verify_command,  add_push_command,
    add_compare_command, add_dashboard_command, add_history_command, add_label_command,
};

/* Dies on a first argument that names no command (CLI11 would only say
 * that a command is required). */
void check_command_name(CLI::App &app, int argc, char **argv) {
  if (argc < 2 || argv[1][0] == '-') return;
  std::string names;
  for (const CLI::App *sub : app.get_subcommands({})) {
    if (sub->get_name() == argv[1]) return;
    names += (names.empty() ? "" : ", ") + sub->get_name();
  }
  die(EXIT_USAGE, std::string("unknown command '") + argv[1] + "' (commands: " + names + ")");
}

int run(int argc, char **argv) {
  CLI::App app(
      "Reads the time-series store of a migrated run (<run-dir>/tsdb/metrics.sqlite)\n"
      "or a store file. `orvtsdb <command> --help` describes a command.",
      "orvtsdb");
  app.set_version_flag("--version", "orvtsdb " ORVTSDB_VERSION);
  app.require_subcommand(1);
  for (auto add : kCommands) add(app);
  check_command_name(app, argc, argv);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    std::string hint = " (orvtsdb --help shows the usage)";
    for (CLI::App *sub : app.get_subcommands())
      hint = " (orvtsdb " + sub->get_name() + " --help shows the usage)";
    die(EXIT_USAGE, e.what() + hint);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    die(EXIT_FAILURE_OTHER, std::string("cannot write standard output: ") + std::strerror(errno));
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc &) {
    // Named by the store it read, as the store's own out-of-memory failures are.
    const std::string &store = last_store_named();
    die(EXIT_FAILURE_OTHER, store.empty() ? "out of memory" : store + ": out of memory");
  } catch (const std::exception &e) {
    die(EXIT_FAILURE_OTHER, e.what());
  }
}
