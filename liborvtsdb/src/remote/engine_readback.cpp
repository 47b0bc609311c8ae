/*
 * engine_readback.cpp - counting back what an engine holds (see
 * engine_readback.h). Both engines of the tests answer the same PromQL:
 * count_over_time over the span sent, at its last second, per metric name
 * and run (a function drops the name, so one query per name keeps the
 * answer's label sets apart).
 */
#include "engine_readback.h"

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "engine_http.h"
#include "shown_url.h"

namespace orvtsdb {

namespace {

std::string label_value(const PromLabels &l, const std::string &name) {
  for (const auto &[n, v] : l)
    if (n == name) return v;
  return "";
}

PromLabels without_name(PromLabels l) {
  std::erase_if(l, [](const auto &p) { return p.first == "__name__"; });
  return l;
}

/* A series as a PromQL selector names it (run_id left out: run and
 * run_start tell the runs apart for a reader). */
std::string shown_series(const PromLabels &l) {
  std::string out = label_value(l, "__name__") + "{";
  bool first = true;
  for (const auto &[n, v] : l) {
    if (n == "__name__" || n == "run_id") continue;
    out += (first ? "" : ",") + n + "=\"";
    for (char c : v)
      out += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
    out += "\"";
    first = false;
  }
  return out + "}";
}

}  // namespace

bool read_back(const RemoteWriteOptions &opt, const SentSamples &sent,
               std::vector<Shortfall> *shortfalls, std::string &err) {
  auto http = EngineSession::open(opt, {}, err);
  if (!http) return false;
  std::string base = engine_base(opt.url);
  // Where the engine offers it, make what it accepted visible to queries:
  // beside the write path, or at the server's root when that path is one
  // of the engine's prefixes (".../prometheus/api/v1/write").
  http->post_form(base + "/internal/force_flush", "");
  size_t host = base.find("://");
  size_t path = base.find('/', host == std::string::npos ? 0 : host + 3);
  if (path != std::string::npos)
    http->post_form(base.substr(0, path) + "/internal/force_flush", "");

  // Per metric name and run: the span sent and the series expected.
  struct Query {
    int64_t first = std::numeric_limits<int64_t>::max();
    int64_t last = std::numeric_limits<int64_t>::min();
    std::map<PromLabels, const SentSamples::value_type *> series;  // labels without the name
  };
  std::map<std::pair<std::string, std::string>, Query> queries;
  for (const auto &entry : sent) {
    if (entry.second.count == 0) continue;
    Query &q = queries[{label_value(entry.first, "__name__"), label_value(entry.first, "run_id")}];
    q.first = std::min(q.first, entry.second.first);
    q.last = std::max(q.last, entry.second.last);
    q.series[without_name(entry.first)] = &entry;
  }
  for (const auto &[name_run, q] : queries) {
    std::string promql = "count_over_time({__name__=\"" + name_run.first + "\",run_id=\"" +
                         name_run.second + "\"}[" +
                         std::to_string((q.last - q.first) * 1000 + 500) + "ms])";
    std::string form = "query=" + http->escaped(promql) + "&time=" + std::to_string(q.last) +
                       "&nocache=1";
    EngineSession::Answer a = http->post_form(base + "/api/v1/query", form);
    nlohmann::json answer = nlohmann::json::parse(a.body, nullptr, false);
    if (a.status != 200 || answer.is_discarded() || !answer.contains("data")) {
      err = "cannot read back from " + shown_url(base) + "/api/v1/query: " +
            (a.status ? "HTTP " + std::to_string(a.status) + ": " + a.body.substr(0, 200)
                      : "no answer (" + a.fault + ")");
      return false;
    }
    std::map<PromLabels, int64_t> held;
    try {
      for (const auto &r : answer["data"]["result"]) {
        PromLabels l;
        for (const auto &[n, v] : r["metric"].items()) l.emplace_back(n, v.get<std::string>());
        std::sort(l.begin(), l.end());
        held[l] = std::stoll(r["value"][1].get<std::string>());
      }
    } catch (const std::exception &e) {  // an answer not of the query API's shape
      err = "cannot read back from " + shown_url(base) + "/api/v1/query: " + e.what();
      return false;
    }
    for (const auto &[labels, entry] : q.series) {
      auto h = held.find(labels);
      int64_t n = h == held.end() ? 0 : h->second;
      if (n < entry->second.count)
        shortfalls->push_back({shown_series(entry->first), entry->second, n});
    }
  }
  return true;
}

bool verify_sent(const RemoteWriteOptions &opt, const SentSamples &sent, std::string &err) {
  std::vector<Shortfall> short_of;
  if (!read_back(opt, sent, &short_of, err)) return false;
  if (short_of.empty()) return true;
  const Shortfall &s = short_of.front();
  err = "the engine at " + shown_url(opt.url) + " holds fewer samples than it accepted in " +
        std::to_string(short_of.size()) + " of " + std::to_string(sent.size()) + " series, " +
        s.series + " " + std::to_string(s.held) + " of " + std::to_string(s.sent.count) +
        " first (send the run again to complete it)";
  return false;
}

}  // namespace orvtsdb
