/*
 * label.cpp - `orvtsdb label STORE NAME=VALUE...`: gives a run labels
 * (build, version, branch) after its migration; `history` can order runs by
 * one and `history` and `compare` show them. The one command besides the
 * migration that writes a store: only the run's labels, in one transaction.
 */
#include <memory>

#include "command_line.h"
#include "run_labels.h"
#include "selection.h"
#include "store_reading.h"

namespace orvtsdb_cli {

namespace {

struct Options {
  std::string store, run;
  std::vector<std::string> labels;
};

void run_label_command(const Options &o) {
  orvtsdb::Labels labels;
  std::string err;
  for (const std::string &text : o.labels)
    if (!orvtsdb::parse_labels(text, true, labels, err)) die(EXIT_USAGE, err);
  std::string path;
  int64_t run = 0;
  {
    Store store(o.store);
    Selection sel;
    sel.run = o.run;
    bool runs_table = false;
    if (!orvtsdb::series_have_runs(store.db(), &runs_table, err)) die_reading(store.db(), err);
    if (!runs_table)
      die(EXIT_FAILURE_OTHER, store.path() +
                                  ": a store of an older format keeps no run labels; a "
                                  "migration into it upgrades it to the format that does");
    sel.runs = select_runs(store.db(), sel.run);
    require_one_run(store.db(), sel, "label");
    // A first migration that failed leaves a store without runs.
    if (sel.runs.empty())
      die(EXIT_FAILURE_OTHER, store.path() + ": the store holds no run to label");
    run = sel.runs.front().number;
    path = store.path();
  }
  if (!orvtsdb::label_run(path, run, labels, err)) die(EXIT_FAILURE_OTHER, path + ": " + err);
  std::fprintf(stderr, "label: run #%lld of %s: %zu %s set\n", (long long)run, path.c_str(),
               labels.size(), labels.size() == 1 ? "label" : "labels");
}

}  // namespace

void add_label_command(CLI::App &app) {
  auto o = std::make_shared<Options>();
  CLI::App *cmd = add_store_command(
      app, "label",
      "give a run labels (build, version, branch): NAME=VALUE, replacing a label of "
      "that name",
      o->store);
  cmd->add_option("labels", o->labels, "NAME=VALUE, one or more")->required();
  cmd->add_option("--run", o->run, "the run, when the store holds several (a number or name)");
  cmd->callback([o] { run_label_command(*o); });
}

}  // namespace orvtsdb_cli
