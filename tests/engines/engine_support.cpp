/*
 * engine_support.cpp - see engine_support.h.
 */
#include "engine_support.h"

#include "engine_mapping.h"
#include "orvtsdb_data_roles.h"
#include "store_schema.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

using namespace vzu_test;

namespace engine_test {

namespace {

constexpr int READY_SECONDS = 30;
constexpr int STOP_SECONDS = 15;

size_t collect(char *data, size_t size, size_t n, void *out) {
  static_cast<std::string *>(out)->append(data, size * n);
  return size * n;
}

std::string tail_of(const std::string &path) {
  std::string text;
  try {
    text = read_file(path);
  } catch (...) {
  }
  return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

bool exited(pid_t pid) {
  int status;
  return waitpid(pid, &status, WNOHANG) == pid;
}

/* A value as the engines print it: exact in both directions. */
double parse_value(const std::string &text) { return std::strtod(text.c_str(), nullptr); }

std::string describe(const SeriesKey &k) {
  return std::get<0>(k) + " / " + std::get<1>(k) + " / " + std::get<2>(k) + " / " + std::get<3>(k);
}

/* Puts every series in time order; a time stamp twice is a doubled sample. */
SampleMap in_time_order(SampleMap m) {
  for (auto &[k, points] : m) {
    std::sort(points.begin(), points.end());
    for (size_t i = 1; i < points.size(); i++)
      if (points[i].first == points[i - 1].first)
        ADD_FAILURE() << "sample twice: " << describe(k) << " @ " << points[i].first;
  }
  return m;
}

SeriesKey key_of(const nlohmann::json &metric) {
  auto label = [&](const char *name, const char *absent) {
    return metric.contains(name) ? metric[name].get<std::string>() : std::string(absent);
  };
  // The metric name tells the role, the tags' labels the series (engine_view()
  // names the store's alike).
  std::string series;
  for (const auto &[name, value] : metric.items())
    if (name != "__name__" && name != "group" && name != "graph" && name.rfind("run", 0) != 0)
      series += (series.empty() ? "" : ",") + name + "=" + value.get<std::string>();
  return {label("group", ""), label("graph", ""), label("__name__", ""), series};
}

/* The tags of a store's series identity text ("Tier=WebTier,Server=srv01"). */
orvtsdb::TagList tags_of(const std::string &key) {
  orvtsdb::TagList tags;
  std::stringstream in(key);
  for (std::string pair; std::getline(in, pair, ',');) {
    size_t eq = pair.find('=');
    tags.emplace_back(pair.substr(0, eq), eq == std::string::npos ? "" : pair.substr(eq + 1));
  }
  return tags;
}

}  // namespace

int loopback_listener(int *port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, (sockaddr *)&a, sizeof a) != 0 || listen(fd, 8) != 0 ||
      getsockname(fd, (sockaddr *)&a, &len) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

int free_port() {
  int port = -1, fd = loopback_listener(&port);
  if (fd >= 0) close(fd);
  return port;
}

EngineProcess::~EngineProcess() { stop(); }

std::string EngineProcess::start(const std::string &program, const std::vector<std::string> &args,
                                 int port, const std::string &ready_path, const std::string &log) {
  port_ = port;
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test killed on the way takes its engine along
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1), dup2(fd, 2);
    std::vector<char *> argv = {const_cast<char *>(program.c_str())};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(READY_SECONDS);
  while (std::chrono::steady_clock::now() < deadline) {
    if (http(base() + ready_path).first == 200) return "";
    if (exited(pid_)) {
      pid_ = -1;
      return program + " exited at start: " + tail_of(log);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  stop();
  return program + " not ready within " + std::to_string(READY_SECONDS) + " s: " + tail_of(log);
}

void EngineProcess::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(STOP_SECONDS);
  while (!exited(pid_)) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  pid_ = -1;
}

std::string find_program(const std::string &name) {
  const char *path = getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return "";
}

void EngineProcess::kill_hard() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string start_victoria_metrics(EngineProcess &p, const std::string &dir,
                                   const std::vector<std::string> &extra, int port) {
  std::string bin = find_program("victoria-metrics");
  if (bin.empty()) return "victoria-metrics is not installed (Debian package victoria-metrics)";
  if (port == 0) port = free_port();
  std::vector<std::string> args = {"-httpListenAddr=127.0.0.1:" + std::to_string(port),
                                   "-storageDataPath=" + dir,
                                   "-retentionPeriod=100y",
                                   "-dedup.minScrapeInterval=1ms",
                                   "-search.disableCache",
                                   "-search.latencyOffset=0s"};
  args.insert(args.end(), extra.begin(), extra.end());
  return p.start(bin, args, port, "/health", dir + ".log");
}

std::string start_prometheus(EngineProcess &p, const std::string &dir,
                             const std::string &ooo_window) {
  std::string bin = find_program("prometheus");
  if (bin.empty()) return "prometheus is not installed (Debian package prometheus)";
  std::filesystem::create_directories(dir);
  write_file(dir + "/prometheus.yml",
             ooo_window.empty()
                 ? "global: {}\n"
                 : "storage:\n  tsdb:\n    out_of_order_time_window: " + ooo_window + "\n");
  int port = free_port();
  return p.start(
      bin,
      {"--config.file=" + dir + "/prometheus.yml", "--storage.tsdb.path=" + dir + "/data",
       "--storage.tsdb.retention.time=100y", "--web.enable-remote-write-receiver",
       "--web.listen-address=127.0.0.1:" + std::to_string(port)},
      port, "/-/ready", dir + ".log");
}

std::pair<long, std::string> http(const std::string &url, const std::string &form) {
  CURL *c = curl_easy_init();
  std::string body;
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  if (!form.empty()) curl_easy_setopt(c, CURLOPT_POSTFIELDS, form.c_str());
  long status = 0;
  if (curl_easy_perform(c) == CURLE_OK) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(c);
  return {status, body};
}

SampleMap store_samples(const std::string &store) {
  // sql prints every value so that it reads back bit for bit.
  RunResult r = run_program(
      bin_dir() + "/orvtsdb",
      {"sql", store, "--format", "csv",
       "SELECT group_name, graph_name, role, labels, time, value FROM samples"},
      clean_env());
  EXPECT_EQ(r.status, 0) << r.err;
  SampleMap m;
  std::vector<std::string> lines = split_lines(r.out);
  for (size_t i = 1; i < lines.size(); i++) {  // line 0 names the columns
    std::vector<std::string> f = csv_fields(lines[i]);
    if (f.size() != 6 || f[5].empty()) continue;  // a missing sample
    m[{f[0], f[1], f[2], f[3]}].emplace_back(std::stoll(f[4]), parse_value(f[5]));
  }
  return in_time_order(std::move(m));
}

SampleMap victoria_samples(const std::string &base, std::vector<std::string> *runs) {
  http(base + "/internal/force_flush");
  auto [status, body] = http(base + "/api/v1/export", "match[]={__name__!=\"\"}");
  EXPECT_EQ(status, 200) << body;
  SampleMap m;
  std::set<std::string> seen;
  for (const std::string &line : split_lines(body)) {
    if (line.empty()) continue;
    nlohmann::json j = nlohmann::json::parse(line);
    const auto &metric = j["metric"];
    seen.insert(metric.value("run_id", "") + " " + metric.value("run", "") + " " +
                metric.value("run_start", ""));
    const auto &t = j["timestamps"], &v = j["values"];
    EXPECT_EQ(t.size(), v.size());
    Points &points = m[key_of(metric)];  // a long series may come in several lines
    for (size_t i = 0; i < t.size() && i < v.size(); i++) {
      long long ms = t[i].get<long long>();
      EXPECT_EQ(ms % 1000, 0) << "time stamp not on a second: " << ms;
      points.emplace_back(ms / 1000, v[i].get<double>());
    }
  }
  if (runs) runs->assign(seen.begin(), seen.end());
  return in_time_order(std::move(m));
}

SampleMap prometheus_samples(const std::string &base, long long from, long long to) {
  std::string range = std::to_string(to - from + 2) + "s";
  auto [status, body] = http(base + "/api/v1/query",
                             "query=" + std::string("%7Brun_id!=%22%22%7D%5B") + range +
                                 "%5D&time=" + std::to_string(to + 1));
  EXPECT_EQ(status, 200) << body;
  SampleMap m;
  if (status != 200) return m;
  nlohmann::json answer = nlohmann::json::parse(body);
  for (const auto &series : answer["data"]["result"]) {
    Points &points = m[key_of(series["metric"])];
    for (const auto &pair : series["values"]) {
      double t = pair[0].get<double>();
      EXPECT_EQ(t, std::floor(t)) << "time stamp not on a second";
      points.emplace_back((long long)t, parse_value(pair[1]));
    }
  }
  return in_time_order(std::move(m));
}

/* Whether an engine value stands for a stored one: bit for bit, or for a
 * decimal engine within one part in 10^12 of the series' largest value
 * (`scale`), as its blocks share one decimal exponent. */
bool same_value(double stored, double engine, Precision p, double scale) {
  if (std::memcmp(&stored, &engine, sizeof stored) == 0) return true;
  return p == Precision::decimal_12_digits && std::fabs(stored - engine) <= 1e-12 * scale;
}

std::string exact(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

size_t sample_count(const SampleMap &m) {
  size_t n = 0;
  for (const auto &[k, points] : m) n += points.size();
  return n;
}

void expect_same_samples(const SampleMap &store, const SampleMap &engine, Precision p) {
  int reported = 0;
  auto report = [&](const std::string &what, const SeriesKey &k) {
    if (++reported <= 10) ADD_FAILURE() << what << ": " << describe(k);
  };
  for (const auto &[k, points] : store) {
    auto it = engine.find(k);
    if (it == engine.end()) {
      report("series not in the engine", k);
      continue;
    }
    const Points &got = it->second;
    double scale = 0;
    for (const auto &point : points) scale = std::max(scale, std::fabs(point.second));
    if (got.size() != points.size())
      report("engine holds " + std::to_string(got.size()) + " samples, the store " +
                 std::to_string(points.size()),
             k);
    for (size_t i = 0; i < points.size() && i < got.size(); i++)
      if (got[i].first != points[i].first ||
          !same_value(points[i].second, got[i].second, p, scale)) {
        report("sample " + std::to_string(i) + " differs: engine " + std::to_string(got[i].first) +
                   " " + exact(got[i].second) + ", store " + std::to_string(points[i].first) + " " +
                   exact(points[i].second),
               k);
        break;
      }
  }
  for (const auto &[k, points] : engine)
    if (!store.count(k)) report("series only in the engine", k);
  EXPECT_EQ(store.size(), engine.size());
  EXPECT_EQ(sample_count(store), sample_count(engine));
  EXPECT_EQ(reported, 0) << reported << " series differ";
}

SampleMap engine_view(const SampleMap &store, const GraphTypes &types) {
  // (group, graph, series) -> time -> role -> value
  std::map<std::tuple<std::string, std::string, std::string>,
           std::map<long long, std::map<std::string, double>>>
      rows;
  for (const auto &[k, points] : store)
    for (const auto &[t, v] : points)
      rows[{std::get<0>(k), std::get<1>(k), std::get<3>(k)}][t][std::get<2>(k)] = v;
  SampleMap out;
  for (const auto &[key, times] : rows) {
    std::set<std::string> roles;
    for (const auto &[t, values] : times)
      for (const auto &rv : values) roles.insert(rv.first);
    // the data type: the store's, else its family's from the roles it has
    auto known = types.find({std::get<0>(key), std::get<1>(key)});
    int type = known != types.end()   ? known->second
               : roles.count("fifth") ? 4
               : roles.count("avg")   ? 3
               : roles.count("count") ? 10
                                      : 1;
    std::vector<std::string> order;
    for (int r = 0; r < std::max(1, orv_role_count(type)); r++)
      order.push_back(orv_role_count(type) > 1 ? orv_role_name(type, r) : "value");
    int n = (int)order.size();
    orvtsdb::GraphMapping m = orvtsdb::map_graph(std::get<0>(key), std::get<1>(key), "", type);
    orvtsdb::PromLabels labels = orvtsdb::series_labels(std::get<0>(key), std::get<1>(key),
                                                        tags_of(std::get<2>(key)), {});
    std::string graph, series;
    for (const auto &[name, value] : labels)
      if (name == "graph")
        graph = value;
      else if (name != "group")
        series += (series.empty() ? "" : ",") + name + "=" + value;
    orvtsdb::RunningTotals totals;
    long long before = 0;
    for (const auto &[t, values] : times) {
      double sample[5];
      for (int r = 0; r < n; r++) {
        auto it = values.find(order[r]);
        sample[r] = it == values.end() ? -9223372036854775808.0 : it->second;
      }
      // the interval: from the sample before, the first's from the one after
      long long step = t == times.begin()->first
                           ? (times.size() > 1 ? std::next(times.begin())->first - t : 1)
                           : t - before;
      before = t;
      for (size_t o = 0; o < m.outputs.size(); o++) {
        int64_t at[2];
        double v[2];
        for (int k = 0, got = m.samples(o, sample, t, step, totals, at, v); k < got; k++)
          out[{std::get<0>(key), graph, m.outputs[o].name, series}].emplace_back(at[k], v[k]);
      }
    }
  }
  return out;
}

SampleMap engine_view_of(const std::string &store) {
  RunResult r = run_program(bin_dir() + "/orvtsdb",
                            {"sql", store, "--format", "csv",
                             "SELECT gr.name, g.name, g.data_type FROM graphs g JOIN groups gr "
                             "ON gr.gid = g.gid"},
                            clean_env());
  EXPECT_EQ(r.status, 0) << r.err;
  GraphTypes types;
  std::vector<std::string> lines = split_lines(r.out);
  for (size_t i = 1; i < lines.size(); i++) {
    std::vector<std::string> f = csv_fields(lines[i]);
    if (f.size() == 3 && !f[2].empty()) types[{f[0], f[1]}] = std::stoi(f[2]);
  }
  return engine_view(store_samples(store), types);
}

std::vector<std::pair<std::string, std::string>> clean_env() {
  return {{"LD_LIBRARY_PATH", "\x01unset"}, {"ORVTSDB_RUN_DIR", "\x01unset"},
          {"ORVTSDB_URL", "\x01unset"},     {"ORVTSDB_PASSWORD", "\x01unset"},
          {"ORVTSDB_RECORD", "\x01unset"},  {"ASAN_OPTIONS", "detect_leaks=0"}};
}

void generate_and_migrate(const TempRun &run, bool any_preset) {
  const char *preset = any_preset ? getenv("ENGINE_TEST_PRESET") : nullptr;
  RunResult g = run_program(bin_dir() + "/make_sample_run",
                            {"--preset", preset ? preset : "small", "--wdir", run.wdir(),
                             "--testrun", std::to_string(run.testrun())},
                            clean_env());
  ASSERT_EQ(g.status, 0) << g.err;
  std::filesystem::copy(run.run_dir(), run.wdir() + "/generated",
                        std::filesystem::copy_options::recursive);
  auto env = clean_env();
  env.push_back({"TW_WDIR", run.wdir()});
  RunResult m = run_program(tool_path(), {"-t", std::to_string(run.testrun())}, env);
  ASSERT_EQ(m.status, 0) << m.out << m.err;
}

void generate(const TempRun &run) {
  RunResult g = run_program(
      bin_dir() + "/make_sample_run",
      {"--preset", "small", "--wdir", run.wdir(), "--testrun", std::to_string(run.testrun())},
      clean_env());
  ASSERT_EQ(g.status, 0) << g.err;
}

void restore_generated_run(const TempRun &run, const std::string &keep_store) {
  namespace fs = std::filesystem;
  fs::copy_file(run.run_dir() + "/tsdb/metrics.sqlite", keep_store);
  std::string id = read_file(run.run_dir() + "/tsdb/run.id");  // the run's identity stays
  fs::remove_all(run.run_dir());
  fs::copy(run.wdir() + "/generated", run.run_dir(), fs::copy_options::recursive);
  fs::create_directories(run.run_dir() + "/tsdb");
  write_file(run.run_dir() + "/tsdb/run.id", id);
}

}  // namespace engine_test
