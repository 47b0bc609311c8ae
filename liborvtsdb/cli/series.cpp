/*
 * series.cpp - `orvtsdb series`: the series of the selected groups with their
 * run and tag/value lists, as aligned text or as JSON (--format json); both forms
 * print the one document gathered first.
 */
#include <cstdio>
#include <memory>
#include <set>

#include "command_line.h"
#include "selection.h"
#include "value_text.h"

namespace orvtsdb_cli {

namespace {

Json time_or_null(const std::optional<int64_t> &t) { return t ? Json(*t) : Json(nullptr); }

}  // namespace

void add_series_command(CLI::App &app) {
  struct Options {
    std::string store, format;
    Selection sel;
  };
  auto o = std::make_shared<Options>();
  CLI::App *cmd = add_store_command(app, "series", "series with their tag/value lists", o->store);
  add_format_option(*cmd, o->format, {"text", "json"});
  add_selection_options(*cmd, o->sel, true);
  cmd->callback([o] {
    Store st(o->store);
    Json out = Json::array();
    std::vector<std::string> texts;  // the stored identity text, for people
    std::set<int64_t> done;
    for (const SelectedGraph &g : select_samples(st.db(), o->sel).graphs)
      for (const SelectedSeries &ser : *g.series) {
        if (!done.insert(ser.sid).second) continue;
        Json tags = Json::object();
        for (const auto &[tag, value] : ser.tags) tags[tag] = value;
        out.push_back({{"sid", ser.sid},
                       {"run", ser.run == 0 ? Json() : Json(ser.run)},
                       {"group", g.group},
                       {"created", time_or_null(ser.created)},
                       {"ended", time_or_null(ser.ended)},
                       {"labels", tags}});
        texts.push_back(ser.labels);
      }
    std::fprintf(stderr, "series: %s\n", runs_text(o->sel.runs).c_str());
    if (o->format == "json") return print_json(out);
    std::printf("%-8s %-5s %-30s %-12s %-12s %s\n", "sid", "run", "group", "created", "ended",
                "labels");
    for (size_t i = 0; i < out.size(); i++) {
      const Json &r = out[i];
      std::printf("%-8lld %-5s %-30s %-12s %-12s %s\n", (long long)r["sid"],
                  r["run"].is_null() ? "-" : ("#" + r["run"].dump()).c_str(),
                  r["group"].get<std::string>().c_str(), dash_or(r["created"]).c_str(),
                  dash_or(r["ended"]).c_str(), texts[i].c_str());
    }
  });
}

}  // namespace orvtsdb_cli
