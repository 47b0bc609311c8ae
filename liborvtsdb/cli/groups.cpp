/*
 * groups.cpp - `orvtsdb groups`: the metric groups with their graphs and
 * series counts, as aligned text or as JSON (--format json); both forms print
 * the one document gathered first.
 */
#include <cstdio>
#include <memory>

#include "command_kit.h"
#include "sqlite_stmt.h"
#include "value_text.h"

using orvtsdb::Stmt;

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
    Stmt s, g;
    prepare(st.db(), s,
            "SELECT gid, name, (SELECT count(*) FROM series WHERE gid = groups.gid), "
            "IFNULL(hierarchy, ''), IFNULL(metric, '') FROM groups ORDER BY gid");
    prepare(st.db(), g, "SELECT IFNULL(name, '') FROM graphs WHERE gid = ?1 ORDER BY idx");
    Json out = Json::array();
    while (row(st.db(), s)) {
      Json graphs = Json::array();
      g.bind(1, s.col_int(0));
      while (row(st.db(), g)) graphs.push_back(g.col_text(0));
      g.reset();
      out.push_back({{"gid", s.col_int(0)},
                     {"name", s.col_text(1)},
                     {"series", s.col_int(2)},
                     {"hierarchy", s.col_text(3)},
                     {"metric", s.col_text(4)},
                     {"graphs", graphs}});
    }
    if (o->format == "json") return print_json(out);
    std::printf("%-6s %-40s %6s %7s  %s\n", "gid", "group", "graphs", "series", "hierarchy");
    for (const Json &r : out)
      std::printf("%-6lld %-40s %6zu %7lld  %s\n", (long long)r["gid"],
                  r["name"].get<std::string>().c_str(), r["graphs"].size(), (long long)r["series"],
                  r["hierarchy"].get<std::string>().c_str());
  });
}

}  // namespace orvtsdb_cli
