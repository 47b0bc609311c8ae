/*
 * push.cpp - `orvtsdb push`: the selected samples of a store sent to
 * a time-series engine's remote-write endpoint.
 *
 * Chunks are read in series, graph and time order, so each engine series
 * gets its samples in time order and consecutive chunks share one series
 * in a request. Labels follow remote_write_labels.h, with the run of the
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

#include "chunk_codec.h"
#include "command_kit.h"
#include "remote/remote_write_client.h"
#include "remote/remote_write_labels.h"
#include "selection.h"
#include "sqlite_stmt.h"
#include "store_schema.h"

using orvtsdb::Stmt;
using Clock = std::chrono::steady_clock;

namespace orvtsdb_cli {

namespace {

constexpr const char *SELECTED =
    " FROM chunks c JOIN series s ON s.sid = c.sid JOIN groups g ON g.gid = s.gid"
    " LEFT JOIN graphs gr ON gr.gid = s.gid AND gr.idx = c.graph"
    " JOIN migrations m ON m.id = c.migration"
    " WHERE c.end_time >= ?1 AND c.start_time <= ?2";

/* `push`'s options: the store, the export's selection, and where and how to
 * send. */
struct PushOptions {
  std::string store;
  Selection sel;
  orvtsdb::RemoteWriteOptions remote;
};

/* The roles picked of each selected (series, graph in its group). */
using Picked = std::map<std::pair<int64_t, int>, const std::vector<int> *>;

Picked picked_of(const Selected &selected) {
  Picked picked;
  for (const SelectedGraph &g : selected.graphs)
    for (const SelectedSeries &series : *g.series) picked[{series.sid, g.idx}] = &g.roles;
  return picked;
}

void prepare(sqlite3 *db, Stmt &s, const std::string &sql, const PushOptions &o) {
  std::string err;
  if (!s.prepare(db, sql.c_str(), err)) die(EXIT_FAILURE_OTHER, err);
  s.bind(1, o.sel.from);
  s.bind(2, o.sel.to);
}

/* Stored values (missing ones included) of the selected chunks and roles:
 * the total the progress line counts towards. */
int64_t selected_values(sqlite3 *db, const PushOptions &o, const Picked &picked) {
  Stmt s;
  prepare(db, s, std::string("SELECT c.sid, c.graph, c.count") + SELECTED, o);
  int64_t total = 0;
  while (s.step() == SQLITE_ROW) {
    auto it = picked.find({s.col_int(0), (int)s.col_int(1)});
    if (it != picked.end()) total += s.col_int(2) * (int64_t)it->second->size();
  }
  return total;
}

class Pusher {
 public:
  Pusher(sqlite3 *db, const PushOptions &o, orvtsdb::RemoteWriteClient &c)
      : db_(db),
        o_(o),
        client_(c),
        selected_(select_samples(db, o.sel)),
        picked_(picked_of(selected_)),
        progress_(isatty(STDERR_FILENO) == 1) {}

  void run() {
    if (progress_) total_ = selected_values(db_, o_, picked_);
    Stmt s;
    prepare(
        db_, s,
        std::string("SELECT c.sid, c.graph, c.data_type, c.start_time, c.step, "
                    "c.data, g.name, IFNULL(gr.name, ''), m.run, s.labels, IFNULL(m.run_dir, '')") +
            SELECTED + " ORDER BY c.sid, c.graph, c.start_time",
        o_);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) chunk(s);
    if (rc != SQLITE_DONE) die(EXIT_FAILURE_OTHER, sqlite3_errmsg(db_));
    std::string err;
    if (!client_.flush(err)) fail(err);
    if (progress_) std::fputs("\n", stderr);
    double secs = std::chrono::duration<double>(Clock::now() - started_).count();
    std::printf(
        "pushed %lld samples of %zu series in %lld requests to %s in %.2f s "
        "(%.0f samples/s)\n",
        (long long)client_.accepted(), series_count_, (long long)client_.requests(),
        o_.remote.url.c_str(), secs, secs > 0 ? (double)client_.accepted() / secs : 0.0);
  }

 private:
  [[noreturn]] void fail(const std::string &err) {
    if (progress_) std::fputs("\n", stderr);
    die(EXIT_FAILURE_OTHER,
        err + " (" + std::to_string(client_.accepted()) + " samples were accepted before)");
  }

  const orvtsdb::TagList &tags_of(int64_t sid) {
    auto [it, added] = tags_.try_emplace(sid);
    if (!added) return it->second;
    std::string err;
    Stmt t;
    if (!t.prepare(db_, "SELECT tag, value FROM series_labels WHERE sid = ?1 ORDER BY pos", err))
      die(EXIT_FAILURE_OTHER, err);
    t.bind(1, sid);
    while (t.step() == SQLITE_ROW) it->second.emplace_back(t.col_text(0), t.col_text(1));
    return it->second;
  }

  const std::vector<orvtsdb::PromLabels> &labels_of(Stmt &s) {
    std::string run = s.col_text(8);
    auto [it,
          added] = labels_.try_emplace({s.col_int(0), (int)s.col_int(1), (int)s.col_int(2), run});
    if (added) {
      auto r = runs_.try_emplace(run, orvtsdb::run_labels(run, s.col_text(10))).first;
      it->second = orvtsdb::engine_labels(s.col_text(6), s.col_text(7), (int)s.col_int(2),
                                          s.col_text(9), tags_of(s.col_int(0)), r->second);
      series_count_ += it->second.size();
    }
    return it->second;
  }

  void chunk(Stmt &s) {
    auto pick = picked_.find({s.col_int(0), (int)s.col_int(1)});
    if (pick == picked_.end()) return;
    std::string err;
    if (!dec_.decode(orvtsdb::chunk_seed(s.col_int(0), s.col_int(1), s.col_int(2), s.col_int(3),
                                         s.col_int(4)),
                     s.col_blob(5), (size_t)s.col_bytes(5), err))
      die(EXIT_FAILURE_OTHER, "chunk of series " + std::to_string(s.col_int(0)) + ": " + err);
    const auto &labels = labels_of(s);
    int64_t start = s.col_int(3), step = s.col_int(4);
    for (int r : *pick->second) {
      if (r >= dec_.roles() || (size_t)r >= labels.size()) continue;
      client_.series(labels[r]);
      const double *v = dec_.column(r);
      for (int i = 0; i < dec_.count(); i++) {
        int64_t t = start + i * step;
        if (orvtsdb::is_missing(v[i]) || t < o_.sel.from || t > o_.sel.to) continue;
        if (!client_.add(t * 1000, v[i], err)) fail(err);
      }
    }
    done_ += (int64_t)pick->second->size() * dec_.count();
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
  Selected selected_;  // owns the role lists picked_ points at
  Picked picked_;
  bool progress_;
  orvtsdb::ChunkDecoder dec_;
  std::map<int64_t, orvtsdb::TagList> tags_;
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
