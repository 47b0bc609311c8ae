/*
 * command_kit.cpp - the pieces every command shares: die(), the opened
 * store, and the subcommand with its <store> positional.
 */
#include <cstdio>
#include <cstdlib>

#include "command_kit.h"
#include "store_reading.h"

namespace orvtsdb_cli {

namespace {

/* What note_incomplete_output_on_die named ("" before). */
std::string incomplete_output;

}  // namespace

void note_incomplete_output_on_die(const std::string &what) { incomplete_output = what; }

void die(int status, const std::string &message) {
  if (!incomplete_output.empty())
    std::printf("\n%s incomplete: %s\n", incomplete_output.c_str(), message.c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "orvtsdb: %s\n", message.c_str());
  std::exit(status);
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
