/*
 * command_line.cpp - see command_line.h.
 */
#include "command_line.h"

#include <cerrno>
#include <cstdlib>

namespace orvtsdb_cli {

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

CLI::Validator whole_number(long long least, long long most) {
  return CLI::Validator(
      [least, most](std::string &t) {
        char *end = nullptr;
        errno = 0;
        long long v = std::strtoll(t.c_str(), &end, 10);
        if (!t.empty() && !*end && errno == 0 && v >= least && v <= most) return std::string();
        return "needs a whole number from " + std::to_string(least) + " to " +
               std::to_string(most) + ", not '" + t + "'";
      },
      "");
}

}  // namespace orvtsdb_cli
