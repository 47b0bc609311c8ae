/*
 * engine_readback.cpp - counting back what an engine holds (see
 * engine_readback.h). Both engines of the tests answer the same PromQL:
 * count_over_time over the span sent, at its last second, per metric name
 * and run (a function drops the name, so one query per name keeps the
 * answer's label sets apart).
 */
#include "engine_readback.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "shown_url.h"

namespace orvtsdb {

namespace {

size_t collect(char *data, size_t size, size_t n, void *user) {
  static_cast<std::string *>(user)->append(data, size * n);
  return size * n;
}

/* "http://host:port/prefix" of a write URL ending in "/api/v1/write" (or
 * "/write"), else "http://host:port". */
std::string engine_base(const std::string &url) {
  for (const char *tail : {"/api/v1/write", "/write"})
    if (url.size() > std::strlen(tail) &&
        url.compare(url.size() - std::strlen(tail), std::string::npos, tail) == 0)
      return url.substr(0, url.size() - std::strlen(tail));
  size_t host = url.find("://");
  size_t path = url.find('/', host == std::string::npos ? 0 : host + 3);
  return url.substr(0, path);
}

struct Http {
  CURL *curl = curl_easy_init();
  curl_slist *headers = nullptr;
  ~Http() {
    curl_slist_free_all(headers);
    if (curl) curl_easy_cleanup(curl);
  }
  /* POSTs a form; the status (0 without an answer) and the body. */
  long post(const std::string &url, const std::string &form, std::string *body) {
    body->clear();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);
    if (curl_easy_perform(curl) != CURLE_OK) return 0;
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    return status;
  }
  std::string escaped(const std::string &s) {
    char *e = curl_easy_escape(curl, s.c_str(), (int)s.size());
    std::string out = e ? e : "";
    curl_free(e);
    return out;
  }
};

std::string label_value(const PromLabels &l, const std::string &name) {
  for (const auto &[n, v] : l)
    if (n == name) return v;
  return "";
}

PromLabels without_name(PromLabels l) {
  std::erase_if(l, [](const auto &p) { return p.first == "__name__"; });
  return l;
}

std::string shown_series(const PromLabels &l) {
  std::string out = label_value(l, "__name__") + "{";
  bool first = true;
  for (const auto &[n, v] : l) {
    if (n == "__name__" || n == "run" || n == "run_id" || n == "group") continue;
    out += (first ? "" : ",") + n + "=\"" + v + "\"";
    first = false;
  }
  return out + "}";
}

}  // namespace

bool read_back(const RemoteWriteOptions &opt, const SentSamples &sent,
               std::vector<Shortfall> *shortfalls, std::string &err) {
  Http http;
  if (!http.curl) {
    err = "cannot set up an HTTP client";
    return false;
  }
  for (const std::string &h : opt.headers)
    http.headers = curl_slist_append(http.headers, h.c_str());
  curl_easy_setopt(http.curl, CURLOPT_HTTPHEADER, http.headers);
  curl_easy_setopt(http.curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(http.curl, CURLOPT_TIMEOUT_MS, std::max(opt.timeout_ms, 60000L));
  if (!opt.basic_auth.empty()) {
    curl_easy_setopt(http.curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(http.curl, CURLOPT_USERPWD, opt.basic_auth.c_str());
  }
  std::string base = engine_base(opt.url), body;
  // Where the engine offers it, make what it accepted visible to queries.
  http.post(base + "/internal/force_flush", "", &body);

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
    std::string form = "query=" + http.escaped(promql) + "&time=" + std::to_string(q.last) +
                       "&nocache=1";
    long status = http.post(base + "/api/v1/query", form, &body);
    nlohmann::json answer = nlohmann::json::parse(body, nullptr, false);
    if (status != 200 || answer.is_discarded() || !answer.contains("data")) {
      err = "cannot read back from " + shown_url(base) + "/api/v1/query: " +
            (status ? "HTTP " + std::to_string(status) + ": " + body.substr(0, 200)
                    : std::string("no answer"));
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
