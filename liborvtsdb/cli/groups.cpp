/*
 * groups.cpp - `orvtsdb groups`: the metric groups with their graphs and
 * series counts, as aligned text or as JSON (--format json); both forms print
 * the one document gathered first.
 */
#include <cstdio>
#include <memory>

#include "command_kit.h"
#include "store_reading.h"
#include "value_text.h"

namespace orvtsdb_cli {

void add_groups_command(CLI::App &app) {
  struct Options {
    std::string store, format;
  };
  auto o = std::make_shared<Options>();
  CLI::App *cmd = add_store_command(app, "groups", "metric groups with their graphs and series",
                                    o->store);
  add_format_option(*cmd, o->format, {"text", "json"});
  cmd->callback([o] {
    Store st(o->store);
    std::vector<orvtsdb::GroupEntry> groups;
    std::string err;
    if (!orvtsdb::list_groups(st.db(), groups, err)) die(EXIT_FAILURE_OTHER, err);
    Json out = Json::array();
    for (const orvtsdb::GroupEntry &g : groups)
      out.push_back({{"gid", g.gid},
                     {"name", g.name},
                     {"series", g.series},
                     {"hierarchy", g.hierarchy},
                     {"metric", g.metric},
                     {"graphs", g.graphs}});
    if (o->format == "json") return print_json(out);
    std::printf("%-6s %-40s %6s %7s  %s\n", "gid", "group", "graphs", "series", "hierarchy");
    for (const Json &r : out)
      std::printf("%-6lld %-40s %6zu %7lld  %s\n", (long long)r["gid"],
                  r["name"].get<std::string>().c_str(), r["graphs"].size(), (long long)r["series"],
                  r["hierarchy"].get<std::string>().c_str());
  });
}

}  // namespace orvtsdb_cli
