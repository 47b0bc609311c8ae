/*
 * groups.cpp - `orvtsdb groups`: the metric groups with their graphs and
 * series counts (of every run, or of the one --run names, with the runs that
 * have series in each group), as aligned text or as JSON (--format json);
 * both forms print the one document gathered first.
 */
#include <cstdio>
#include <memory>

#include "command_line.h"
#include "selection.h"
#include "store_reading.h"
#include "value_text.h"

namespace orvtsdb_cli {

void add_groups_command(CLI::App &app) {
  struct Options {
    std::string store, format, run;
  };
  auto o = std::make_shared<Options>();
  CLI::App *cmd = add_store_command(app, "groups", "metric groups with their graphs and series",
                                    o->store);
  add_format_option(*cmd, o->format, {"text", "json"});
  add_run_option(*cmd, o->run);
  cmd->callback([o] {
    Store st(o->store);
    Selection sel;
    sel.run = o->run;
    sel.runs = select_runs(st.db(), o->run);
    const std::vector<orvtsdb::RunEntry> &runs = sel.runs;
    std::vector<orvtsdb::GroupEntry> groups;
    std::string err;
    if (!orvtsdb::list_groups(st.db(), groups, err)) die_reading(st.db(), err);
    // Some of the store's runs: the graphs they hold samples of, and the
    // groups of those (as the runs' own stores would list them).
    std::optional<std::set<int64_t>> held = graphs_held(st.db(), sel);
    if (held)
      for (orvtsdb::GroupEntry &g : groups) {
        std::vector<std::string> theirs;
        for (size_t idx = 0; idx < g.graphs.size(); idx++)
          if (held->count(g.gid << 32 | (int64_t)idx)) theirs.push_back(g.graphs[idx]);
        g.graphs = std::move(theirs);
      }
    if (held) std::erase_if(groups, [](const orvtsdb::GroupEntry &g) { return g.graphs.empty(); });
    Json out = Json::array();
    std::vector<std::string> run_texts;  // the runs with series in each group, for people
    for (const orvtsdb::GroupEntry &g : groups) {
      int64_t series = 0;
      Json of_run = Json::object();
      std::string text;
      for (const auto &[number, count] : g.series_of_run)
        for (const orvtsdb::RunEntry &r : runs)
          if (number == 0 || number == r.number) {
            series += count;
            of_run[number == 0 ? "all" : "#" + std::to_string(number)] = count;
            text += (text.empty() ? "" : ",") +
                    (number == 0 ? "all" : "#" + std::to_string(number));
            break;
          }
      out.push_back({{"gid", g.gid},
                     {"name", g.name},
                     {"series", series},
                     {"series_of_run", of_run},
                     {"hierarchy", g.hierarchy},
                     {"metric", g.metric},
                     {"graphs", g.graphs}});
      run_texts.push_back(text.empty() ? "-" : text);
    }
    if (o->format == "json") return print_json(out);
    std::printf("%-6s %-40s %6s %7s  %-10s %s\n", "gid", "group", "graphs", "series", "runs",
                "hierarchy");
    for (size_t i = 0; i < out.size(); i++) {
      const Json &r = out[i];
      std::printf("%-6lld %-40s %6zu %7lld  %-10s %s\n", (long long)r["gid"],
                  r["name"].get<std::string>().c_str(), r["graphs"].size(), (long long)r["series"],
                  run_texts[i].c_str(), r["hierarchy"].get<std::string>().c_str());
    }
    std::fprintf(stderr, "groups: %s\n", runs_text(runs).c_str());
  });
}

}  // namespace orvtsdb_cli
