/*
 * command_line.h - the registration of a command with the CLI11
 * application. Only the files that register a command or its options
 * include it: CLI11 keeps all of its implementation in its headers, some
 * seconds of compiling for every file that includes it.
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
 * a shared_ptr held by the callback, so they outlive the parse. What the
 * callback is built from (die, Store) is command_kit.h's.
 */
#ifndef ORVTSDB_COMMAND_LINE_H
#define ORVTSDB_COMMAND_LINE_H

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "command_kit.h"

namespace orvtsdb_cli {

/* Adds subcommand `name` to app with the required positional <store> bound
 * to `store` (options and positionals may come in any order). */
CLI::App *add_store_command(CLI::App &app, const std::string &name, const std::string &description,
                            std::string &store);

/* Adds --format with the given choices (the first is the default). */
void add_format_option(CLI::App &cmd, std::string &format, const std::vector<std::string> &choices);

/* A check of an option's text: a whole number from `least` to `most`, else
 * "needs a whole number from LEAST to MOST, not 'TEXT'". */
CLI::Validator whole_number(long long least, long long most);

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
