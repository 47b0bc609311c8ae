/*
 * dashboard.cpp - `orvtsdb dashboard`: a Grafana dashboard (JSON, to import)
 * for the runs of a store once pushed to an engine.
 *
 * The panels are made from the store's own graphs, named through the engine
 * mapping (engine_mapping.h) so that their queries meet what
 * push sent: response time (the count-weighted mean over the rate window,
 * rate of _sum over rate of _count, and the highest), throughput (rate of
 * _count), errors where the run has error groups, users, and the servers'
 * CPU and memory. Variables: the Prometheus data source, the run, the
 * transactions, and a second run (`compare`) drawn over the first on the
 * response time and throughput panels: pushed with --align-start to the
 * first run's start, the two share one time axis. A panel whose graphs the
 * store lacks is left out.
 */
#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>

#include "command_line.h"
#include "engine_mapping.h"
#include "engine_output.h"
#include "output_file.h"
#include "store_reading.h"
#include "time_text.h"
#include "value_text.h"

namespace orvtsdb_cli {

namespace {

bool contains(const std::string &text, const char *word) {
  std::string lower = text;
  for (char &c : lower) c = (char)std::tolower((unsigned char)c);
  return lower.find(word) != std::string::npos;
}

/* A graph as the engine names it, with the label its group's series are
 * told apart by (the tag of the group's own level), and a legend that tells
 * every series of the group apart (the labels of each tag whose values
 * differ between them). */
struct EngineGraph {
  orvtsdb::GraphEntry graph;
  orvtsdb::GraphMapping mapping;
  std::string key_label;  // "" for a group without tags
  std::string legend;     // "{{tier}} {{server}} ...", or the graph's name
  // ',group="...",graph="..."': its own series only, where another graph
  // shares its metric name
  std::string matcher;
  std::string unit;  // of the base unit its metric's name ends in
};

/* Whether a label value can be asked for by its text in a panel's query: a
 * JSON file holds UTF-8 only, and the dashboard replaces "$name" with its
 * variables before the engine sees the query. A value that cannot is left
 * out of the query: the metric's name and the other labels still select. */
bool matchable(const std::string &v) {
  for (unsigned char c : v)
    if (c < 0x20 || c == 0x7f || c == '$') return false;
  return shown_text(v) == v;
}

/* A PromQL string's text: a backslash and quote escaped. */
std::string promql_text(const std::string &v) {
  std::string out;
  for (char c : v) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

/* The panel unit of a metric, from the base unit its name ends in. */
std::string unit_of(const std::string &metric) {
  if (metric.ends_with("_bytes_per_second")) return "Bps";
  if (metric.ends_with("_bytes")) return "bytes";
  if (metric.ends_with("_seconds")) return "s";
  if (metric.ends_with("_percent")) return "percent";
  return "short";
}

const Json DATASOURCE = {{"type", "prometheus"}, {"uid", "${datasource}"}};

/* The series of the run the dashboard shows. */
constexpr const char *kRunSelector = "run_id=\"${run_id}\"";

Json query_variable(const std::string &name, const std::string &label, const std::string &query,
                    bool multi) {
  Json v = {{"name", name},        {"label", label},
            {"type", "query"},     {"datasource", DATASOURCE},
            {"definition", query}, {"query", {{"query", query}, {"refId", name}}},
            {"refresh", 2},        {"sort", 1},
            {"multi", multi},      {"includeAll", multi}};
  if (multi) v["allValue"] = ".*";
  return v;
}

class Dashboard {
 public:
  explicit Dashboard(sqlite3 *db) : db_(db), names_(db) {}

  Json make(const std::string &title) {
    std::vector<orvtsdb::GraphEntry> graphs;
    std::string err;
    std::vector<orvtsdb::GroupEntry> groups;
    if (!orvtsdb::list_graphs(db_, "", "", graphs, err) || !orvtsdb::list_groups(db_, groups, err))
      die_reading(db_, err);
    for (const orvtsdb::GroupEntry &g : groups) hierarchy_[g.gid] = g.hierarchy;
    // A graph without a stored sample has no series in the engine: no panel
    // or variable is made of it.
    for (const orvtsdb::GraphEntry &g : graphs) {
      std::vector<orvtsdb::SeriesEntry> series;
      if (!orvtsdb::list_series(db_, g.gid, series, err)) die_reading(db_, err);
      if (holds_samples(g, series)) engine_.push_back(describe(g, series));
    }

    const EngineGraph *times = find([](const EngineGraph &e) {
      return e.mapping.count_role == 3 && contains(e.graph.group, "transaction");
    });
    if (!times) times = find([](const EngineGraph &e) { return e.mapping.count_role == 3; });
    if (!times)
      die(EXIT_FAILURE_OTHER,
          orvtsdb::store_name(db_) +
              ": the store holds no sample of a graph of response times (avg, min, "
              "max, count): there is nothing a dashboard could show");
    // A run is picked by its name and then by its id: two runs of one number
    // (TR1 of two work folders) have one name and never one id.
    const std::string x = times->mapping.name, key = times->key_label;
    const std::string sel = std::string(kRunSelector) + times->matcher +
                            (key.empty() ? "" : "," + key + "=~\"$" + key + "\"");
    const std::string base = "run_id=\"${compare_id}\"" + times->matcher +
                             (key.empty() ? "" : "," + key + "=~\"$" + key + "\"");
    const std::string by = key.empty() ? "" : " by (" + key + ")";
    auto mean = [&](const std::string &s) {
      return "sum" + by + " (rate(" + x + "_sum{" + s + "}[$__rate_interval])) / sum" + by +
             " (rate(" + x + "_count{" + s + "}[$__rate_interval]))";
    };
    auto rate = [&](const std::string &s) {
      return "sum" + by + " (rate(" + x + "_count{" + s + "}[$__rate_interval]))";
    };
    std::string legend = key.empty() ? "" : "{{" + key + "}}";
    panel("Response time (mean over the window, weighted by the counts)", "s",
          {{mean(sel), legend}, {mean(base), legend + " ($compare)"}});
    panel(
        "Response time (highest)", "s",
        {{"max" + by + " (max_over_time(" + x + "_max{" + sel + "}[$__rate_interval]))", legend}});
    panel("Throughput", "reqps", {{rate(sel), legend}, {rate(base), legend + " ($compare)"}});

    for (const EngineGraph &e : engine_) {
      if (contains(e.graph.group, "error")) panel("Errors: " + e.graph.name, "", {plain(e)});
    }
    for (const EngineGraph &e : engine_)
      if (e.mapping.count_role < 0 && contains(e.graph.name, "user") &&
          !contains(e.graph.name, "rate"))
        panel("Users: " + e.graph.name, "short", {plain(e)});
    for (const EngineGraph &e : engine_)
      if (e.mapping.count_role < 0 && contains(e.graph.name, "cpu"))
        panel("CPU: " + e.graph.group + " / " + e.graph.name, e.unit, {plain(e)});
    for (const EngineGraph &e : engine_)
      if (e.mapping.count_role < 0 && contains(e.graph.name, "mem"))
        panel("Memory: " + e.graph.group + " / " + e.graph.name, e.unit, {plain(e)});

    Json vars = Json::array();
    vars.push_back({{"name", "datasource"},
                    {"label", "Data source"},
                    {"type", "datasource"},
                    {"query", "prometheus"}});
    vars.push_back(query_variable("run", "Run", "label_values(" + x + "_count, run)", false));
    vars.push_back(query_variable("run_id", "Run id",
                                  "label_values(" + x + "_count{run=\"$run\"}, run_id)", false));
    if (!key.empty())
      vars.push_back(query_variable(
          key, key, "label_values(" + x + "_count{" + kRunSelector + "}, " + key + ")", true));
    vars.push_back(query_variable("compare", "Second run (pushed with --align-start)",
                                  "label_values(" + x + "_count, run)", false));
    vars.push_back(query_variable("compare_id", "Second run id",
                                  "label_values(" + x + "_count{run=\"$compare\"}, run_id)",
                                  false));
    // It opens on the time the store's runs span (they are rarely of the last
    // days), as ISO 8601 times.
    int64_t first = 0, last = 0;
    bool any = false;
    if (!orvtsdb::stored_time_span(db_, &first, &last, &any, err)) die_reading(db_, err);
    auto iso = [](int64_t t) {
      std::string text = utc_text(t);
      return text.replace(10, 1, "T") + "Z";
    };
    Json span = any ? Json{{"from", iso(first)}, {"to", iso(last + 1)}}
                    : Json{{"from", "now-30d"}, {"to", "now"}};
    return {{"title", title},
            {"description",
             "Runs pushed by orvtsdb push. To overlay a second run, push it with --align-start "
             "set to the first run's start and pick it as the second run."},
            {"editable", true},
            {"schemaVersion", 39},
            {"time", span},
            {"templating", {{"list", vars}}},
            {"panels", panels_}};
  }

 private:
  bool holds_samples(const orvtsdb::GraphEntry &g,
                     const std::vector<orvtsdb::SeriesEntry> &series) {
    std::string err;
    for (const orvtsdb::SeriesEntry &s : series) {
      bool any = false;
      if (!orvtsdb::any_stored_sample(db_, s.sid, g.idx, std::numeric_limits<int64_t>::min(),
                                      std::numeric_limits<int64_t>::max(), &any, err))
        die_reading(db_, err);
      if (any) return true;
    }
    return false;
  }

  /* g, its series given (it holds samples, so there are some). */
  EngineGraph describe(const orvtsdb::GraphEntry &g,
                       const std::vector<orvtsdb::SeriesEntry> &series) {
    EngineGraph e{g,  names_.mapping(g.gid, g.idx, g.group, g.name, g.description, g.data_type),
                  "", g.name,
                  "", unit_of(orvtsdb::map_graph(g.group, g.name, "", g.data_type).name)};
    for (const auto &[name, value] : orvtsdb::series_labels(g.group, g.name, {}, {}))
      if ((name == "group" || name == "graph") && matchable(value))
        e.matcher += "," + name + "=\"" + promql_text(value) + "\"";
    std::string legend;
    for (size_t t = 0; t < series[0].tags.size(); t++) {
      const auto &tag = series[0].tags[t];
      bool differs = std::any_of(series.begin(), series.end(), [&](const auto &s) {
        return t >= s.tags.size() || s.tags[t] != tag;
      });
      if (differs)
        for (const auto &[name, value] : orvtsdb::series_labels("", "", {tag}, {}))
          if (name != "group" && name != "graph")
            legend += (legend.empty() ? "" : " ") + ("{{" + name + "}}");
    }
    if (!legend.empty()) e.legend = legend;
    // the tag of the group's own level: the last of its hierarchy
    const std::string &h = hierarchy_[g.gid];
    size_t gt = h.find_last_of('>');
    std::string level = h.substr(gt == std::string::npos ? 0 : gt + 1);
    for (const auto &tag : series[0].tags)
      if (tag.first == level)
        for (const auto &[name, value] : orvtsdb::series_labels("", "", {tag}, {}))
          if (name != "group" && name != "graph") e.key_label = name;
    return e;
  }

  template <class Pred>
  const EngineGraph *find(Pred p) const {
    auto it = std::find_if(engine_.begin(), engine_.end(), p);
    return it == engine_.end() ? nullptr : &*it;
  }

  /* A graph's values as they are (a counter's rate, a gauge's value), one
   * line per series of the run. */
  static std::pair<std::string, std::string> plain(const EngineGraph &e) {
    const std::string sel = "{" + std::string(kRunSelector) + e.matcher + "}";
    if (e.mapping.count_role >= 0)
      return {"rate(" + e.mapping.name + "_count" + sel + "[$__rate_interval])", e.legend};
    return {e.mapping.outputs.front().name + sel, e.legend};
  }

  void panel(const std::string &title, const std::string &unit,
             const std::vector<std::pair<std::string, std::string>> &queries) {
    Json targets = Json::array();
    for (const auto &[expr, legend] : queries)
      targets.push_back({{"refId", std::string(1, (char)('A' + targets.size()))},
                         {"datasource", DATASOURCE},
                         {"expr", expr},
                         {"legendFormat", legend}});
    int n = (int)panels_.size();
    panels_.push_back(
        {{"id", n + 1},
         {"type", "timeseries"},
         {"title", title},
         {"datasource", DATASOURCE},
         {"gridPos", {{"h", 8}, {"w", 12}, {"x", (n % 2) * 12}, {"y", (n / 2) * 8}}},
         {"fieldConfig", {{"defaults", {{"unit", unit}}}, {"overrides", Json::array()}}},
         {"targets", targets}});
  }

  sqlite3 *db_;
  EngineNames names_;
  std::map<int64_t, std::string> hierarchy_;  // by group id
  std::vector<EngineGraph> engine_;
  Json panels_ = Json::array();
};

}  // namespace

void add_dashboard_command(CLI::App &app) {
  struct Options {
    std::string store, output, title = "Test runs";
  };
  auto o = std::make_shared<Options>();
  CLI::App *cmd = add_store_command(
      app, "dashboard",
      "writes a Grafana dashboard (JSON) for the store's runs once pushed to an engine", o->store);
  cmd->add_option("-o,--output", o->output, "file to write (default: standard output)");
  cmd->add_option("--title", o->title, "the dashboard's title")->capture_default_str();
  cmd->callback([o] {
    if (!o->output.empty()) check_output_file(o->output);
    Store st(o->store);
    std::string text = json_dump(Dashboard(st.db()).make(o->title), 2) + "\n";
    if (o->output.empty()) {
      std::fputs(text.c_str(), stdout);
      return;
    }
    write_output_file(o->output,
                      [&](std::FILE *f) { std::fwrite(text.data(), 1, text.size(), f); });
  });
}

}  // namespace orvtsdb_cli
