/*
 * push.cpp - `orvtsdb push`: the selected samples of a store sent to
 * a time-series engine's remote-write endpoint.
 *
 * Chunks are read through the store's reading calls in series, graph and
 * time order, so each engine series gets its samples in time order and
 * consecutive chunks share one series in a request. Labels follow remote_write_labels.h, with the run of the
 * migration that wrote each chunk, so a push and a migration straight to
 * the engine give the same series, and a repeated push the same samples.
 * Missing samples are left out. Exit 0 only once the engine accepted every
 * sample sent.
 */
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <tuple>

#include "command_kit.h"
#include "remote/remote_write_client.h"
#include "remote/remote_write_labels.h"
#include "selection.h"
#include "shown_url.h"
#include "store_reading.h"

using Clock = std::chrono::steady_clock;

namespace orvtsdb_cli {

namespace {

/* `push`'s options: the store, the export's selection, and where and how to
 * send. */
struct PushOptions {
  std::string store;
  Selection sel;
  orvtsdb::RemoteWriteOptions remote;
};

/* A selected series in one of its group's selected graphs. */
struct Pick {
  const SelectedGraph *graph;
  const SelectedSeries *series;
};

/* Every pick by (series, graph position): the order chunks are sent in. */
using Picked = std::map<std::pair<int64_t, int>, Pick>;

Picked picked_of(const Selected &selected) {
  Picked picked;
  for (const SelectedGraph &g : selected.graphs)
    for (const SelectedSeries &series : *g.series) picked[{series.sid, g.idx}] = {&g, &series};
  return picked;
}

/* Stored values (missing ones included) of the selected chunks and roles:
 * the total the progress line counts towards. */
int64_t selected_values(sqlite3 *db, const PushOptions &o, const Picked &picked) {
  int64_t total = 0;
  for (const auto &[place, pick] : picked) {
    int64_t samples = 0;
    std::string err;
    if (!orvtsdb::count_stored_samples(db, place.first, place.second, o.sel.from, o.sel.to,
                                       &samples, err))
      die(EXIT_FAILURE_OTHER, err);
    total += samples * (int64_t)pick.graph->roles.size();
  }
  return total;
}

class Pusher {
 public:
  Pusher(sqlite3 *db, PushOptions &o, orvtsdb::RemoteWriteClient &c)
      : db_(db),
        o_(o),
        client_(c),
        selected_(select_samples(db, o.sel)),
        picked_(picked_of(selected_)),
        progress_(isatty(STDERR_FILENO) == 1) {}

  void run() {
    std::string err;
    if (!orvtsdb::list_migration_runs(db_, runs_of_, err)) die(EXIT_FAILURE_OTHER, err);
    if (progress_) total_ = selected_values(db_, o_, picked_);
    for (const auto &[place, pick] : picked_) {
      auto each = [&, &pick = pick](const orvtsdb::ChunkView &c) { chunk(c, pick); };
      if (!orvtsdb::for_each_chunk(db_, place.first, place.second, o_.sel.from, o_.sel.to, each,
                                   err))
        die(EXIT_FAILURE_OTHER, err);
    }
    if (!client_.flush(err)) fail(err);
    if (progress_) std::fputs("\n", stderr);
    double secs = std::chrono::duration<double>(Clock::now() - started_).count();
    std::printf(
        "pushed %lld samples of %zu series in %lld requests to %s in %.2f s "
        "(%.0f samples/s)\n",
        (long long)client_.accepted(), series_count_, (long long)client_.requests(),
        orvtsdb::shown_url(o_.remote.url).c_str(), secs,
        secs > 0 ? (double)client_.accepted() / secs : 0.0);
  }

 private:
  [[noreturn]] void fail(const std::string &err) {
    if (progress_) std::fputs("\n", stderr);
    die(EXIT_FAILURE_OTHER,
        err + " (" + std::to_string(client_.accepted()) + " samples were accepted before)");
  }

  /* The engine series of a chunk's roles, made once per series, graph, data
   * type and run. */
  const std::vector<orvtsdb::PromLabels> &labels_of(const orvtsdb::ChunkView &c, const Pick &pick,
                                                    const orvtsdb::MigrationRun &m) {
    auto [it, added] = labels_.try_emplace({c.sid, c.graph, c.data_type, m.run});
    if (added) {
      auto r = runs_.try_emplace(m.run, orvtsdb::run_labels(m.run, m.run_dir)).first;
      it->second = orvtsdb::engine_labels(pick.graph->group, pick.graph->name, c.data_type,
                                          pick.series->labels, pick.series->tags, r->second);
      series_count_ += it->second.size();
    }
    return it->second;
  }

  void chunk(const orvtsdb::ChunkView &c, const Pick &pick) {
    auto m = runs_of_.find(c.migration);
    if (m == runs_of_.end()) return;  // no migration owns it: not a stored sample
    const auto &labels = labels_of(c, pick, m->second);
    std::string err;
    for (int r : pick.graph->roles) {
      if (r >= c.roles || (size_t)r >= labels.size()) continue;
      client_.series(labels[r]);
      const double *v = c.column(r);
      for (int i = 0; i < c.count; i++) {
        int64_t t = c.start + i * c.step;
        if (orvtsdb::is_missing(v[i]) || t < o_.sel.from || t > o_.sel.to) continue;
        if (!client_.add(t * 1000, v[i], err)) fail(err);
      }
    }
    done_ += (int64_t)pick.graph->roles.size() * c.count;
    if (progress_) show_progress();
  }

  /* "pushed N of M values, R samples/s, T s left", at most twice a second. */
  void show_progress() {
    Clock::time_point now = Clock::now();
    if (now - shown_ < std::chrono::milliseconds(500)) return;
    shown_ = now;
    double secs = std::chrono::duration<double>(now - started_).count();
    double rate = secs > 0 ? (double)done_ / secs : 0;
    double left = rate > 0 ? (double)(total_ - done_) / rate : 0;
    std::fprintf(stderr, "\rpushed %lld of %lld values, %.0f samples/s, %.0f s left   ",
                 (long long)done_, (long long)total_,
                 secs > 0 ? (double)client_.accepted() / secs : 0.0, left);
  }

  sqlite3 *db_;
  const PushOptions &o_;
  orvtsdb::RemoteWriteClient &client_;
  Selected selected_;  // owns the graphs and series picked_ points at
  Picked picked_;
  bool progress_;
  std::map<int64_t, orvtsdb::MigrationRun> runs_of_;  // by migration id
  std::map<std::string, orvtsdb::RunLabels> runs_;
  std::map<std::tuple<int64_t, int, int, std::string>, std::vector<orvtsdb::PromLabels>> labels_;
  size_t series_count_ = 0;
  int64_t total_ = 0, done_ = 0;
  Clock::time_point started_ = Clock::now(), shown_;
};

}  // namespace

void add_push_command(CLI::App &app) {
  auto o = std::make_shared<PushOptions>();
  orvtsdb::RemoteWriteOptions &r = o->remote;
  CLI::App *cmd = add_store_command(
      app, "push", "sends the selected samples to a time-series engine's remote-write endpoint",
      o->store);
  cmd->add_option("--url", r.url, "remote-write endpoint, e.g. http://127.0.0.1:8428/api/v1/write")
      ->required();
  add_selection_options(*cmd, o->sel);
  cmd->add_option("--batch", r.batch_samples, "samples per request")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  auto timeout_s = std::make_shared<long>(r.timeout_ms / 1000);
  cmd->add_option("--timeout", *timeout_s, "seconds one request may take")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  cmd->add_option("--retries", r.max_retries, "tries after the first on 5xx, 429 or no answer")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  cmd->add_option("--user", r.basic_auth, "USER:PASSWORD for basic authentication");
  cmd->add_option("--bearer-token-file", r.bearer_token_file, "file holding a bearer token");
  cmd->add_option("--header", r.headers, "extra header 'Name: value' (repeatable)");
  cmd->callback([o, timeout_s] {
    o->remote.timeout_ms = *timeout_s * 1000;
    Store st(o->store);
    std::string err;
    auto client = orvtsdb::RemoteWriteClient::open(o->remote, err);
    if (!client) die(EXIT_USAGE, err);
    Pusher(st.db(), *o, *client).run();
  });
}

}  // namespace orvtsdb_cli
