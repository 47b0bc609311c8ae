/*
 * info.cpp - `orvtsdb info`: the store's runs (with whether their summary is
 * kept), migrations, time span, counts and bytes, as aligned text for people or as JSON (--format json) for programs.
 * Both forms print the one document store_facts() gathers, so they always
 * carry the same facts; the text says in a line what each count counts, in
 * the units push and export report.
 */
#include <cstdio>
#include <memory>

#include "command_line.h"
#include "run_summary.h"
#include "selection.h"
#include "store_facts.h"
#include "time_text.h"
#include "value_text.h"

namespace orvtsdb_cli {

namespace {

void print_info_text(const Json &j) {
  std::printf("store       %s\n", j["store"].get<std::string>().c_str());
  std::printf("bytes       %lld\n", (long long)j["bytes"]);
  std::printf("runs        %zu\n", j["runs"].size());
  for (const Json &r : j["runs"])
    std::printf("  #%lld  %s  %s  start %s  migrations %lld  summary %s\n", (long long)r["number"],
                r["id"].get<std::string>().c_str(),
                r["name"].is_null() ? "-" : r["name"].get<std::string>().c_str(),
                dash_or(r["start"]).c_str(), (long long)r["migrations"],
                r["summarised"] ? "kept" : "none");
  std::printf("migrations  %zu\n", j["migrations"].size());
  for (const Json &m : j["migrations"]) {
    std::printf(
        "  #%lld  run %s  start %s  end %s  samples %s..%s  inserts %lld  values %lld"
        "  done %s UTC\n",
        (long long)m["id"], m["run"].get<std::string>().c_str(), dash_or(m["start"]).c_str(),
        dash_or(m["end"]).c_str(), dash_or(m["first_sample"]).c_str(),
        dash_or(m["last_sample"]).c_str(), (long long)m["inserts"], (long long)m["values"],
        m["finished_at"].is_null() ? "-" : utc_text(m["finished_at"]).c_str());
    for (const Json &k : m["kept"])
      std::printf("      kept %lld series of #%lld: %s\n", (long long)k["series"],
                  (long long)k["from_migration"], k["reason"].get<std::string>().c_str());
  }
  if (j["first_time"].is_null()) {
    std::printf("time span   -\n");
  } else {
    int64_t first = j["first_time"], last = j["last_time"];
    std::printf("time span   %lld..%lld (%s .. %s UTC)\n", (long long)first, (long long)last,
                utc_text(first).c_str(), utc_text(last).c_str());
  }
  std::printf("groups      %lld\ngraphs      %lld\n", (long long)j["groups"],
              (long long)j["graphs"]);
  std::printf("series      %lld (%lld ended)\n", (long long)j["series"],
              (long long)j["ended_series"]);
  std::printf("chunks      %lld (%lld bytes of chunk data)\n", (long long)j["chunks"],
              (long long)j["chunk_bytes"]);
  std::printf(
      "samples     %-12lld a time stamp of one series in one graph, with 1 to 5 values\n"
      "values      %-12lld one number of a sample (avg, min, ...), as export counts them;\n"
      "                         push sends each present one as an engine sample\n",
      (long long)j["samples"], (long long)j["values"]);
  if (!j["migrations"].empty())
    std::printf(
        "inserts     the insert calls of a migration: one per vector and time, all graphs of\n"
        "            its group at once\n");
}

}  // namespace

void add_info_command(CLI::App &app) {
  struct Options {
    std::string store, format;
  };
  auto o = std::make_shared<Options>();
  CLI::App *cmd = add_store_command(app, "info", "migrations, time span, counts, bytes used",
                                    o->store);
  add_format_option(*cmd, o->format, {"text", "json"});
  cmd->callback([o] {
    Store s(o->store);
    Json j = store_facts(s.db(), s.path());
    j["runs"] = Json::array();
    for (const orvtsdb::RunEntry &r : select_runs(s.db(), "")) {
      // Whether history reads the run's kept summary or its samples.
      std::vector<orvtsdb::MetricSummary> summary;
      bool kept = false;
      std::string err;
      if (!orvtsdb::read_run_summary(s.db(), r.number, summary, &kept, err))
        die(EXIT_FAILURE_OTHER, s.path() + ": " + err);
      j["runs"].push_back({{"number", r.number},
                           {"id", r.id},
                           {"name", r.name.empty() ? Json() : Json(r.name)},
                           {"run_dir", r.run_dir.empty() ? Json() : Json(r.run_dir)},
                           {"start", r.start_time > 0 ? Json(r.start_time) : Json()},
                           {"migrations", r.migrations},
                           {"summarised", kept}});
    }
    o->format == "json" ? print_json(j) : print_info_text(j);
  });
}

}  // namespace orvtsdb_cli
