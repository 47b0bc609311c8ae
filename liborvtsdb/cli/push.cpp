/*
 * push.cpp - `orvtsdb push`: the selected samples of a store sent to
 * a time-series engine's remote-write endpoint.
 *
 * Chunks are read through the store's reading calls in series, graph and
 * time order, so each engine series gets its samples in time order and
 * consecutive chunks share one series in a request. Names and labels follow
 * engine_mapping.h, with the run of the migration that wrote each chunk, so
 * a push, an OpenMetrics export and a migration straight to the engine give
 * the same series, and a repeated push the same samples. Missing samples,
 * the values of intervals without events and values that are not finite
 * are left out (the closing line counts the last).
 *
 * After sending, push reads back per series what the engine holds
 * (engine_readback.h) and fails naming the series short of what was sent
 * (--no-verify skips it): an engine answers 2xx for samples it then drops
 * (a path that is not its write endpoint, samples older than it keeps).
 * --dry-run counts what would be sent and sends nothing (with --verify it
 * reads back what a push would send, to check an earlier push);
 * --align-start moves every time stamp so that the store's first sample
 * falls on the given time; --extra-label adds labels to every series.
 * Exit 0 only once the engine accepted and holds every sample sent.
 */
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <tuple>

#include "command_line.h"
#include "engine_mapping.h"
#include "engine_output.h"
#include "engine_readback.h"
#include "engine_samples.h"
#include "remote_write_client.h"
#include "selection.h"
#include "shown_url.h"
#include "store_reading.h"
#include "time_text.h"

using Clock = std::chrono::steady_clock;

namespace orvtsdb_cli {

namespace {

/* `push`'s options: the store, the export's selection, and where and how to
 * send. */
struct PushOptions {
  std::string store;
  Selection sel;
  orvtsdb::RemoteWriteOptions remote;
  bool dry_run = false, verify = false, no_verify = false;
  std::vector<std::string> extra_labels;  // NAME=VALUE
  orvtsdb::PromLabels extra;              // parsed
  std::string password_file;
  std::string align_start;  // TIME the store's first sample moves to; empty: none
  int64_t shift = 0;        // seconds added to every time stamp
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
      die_reading(db, err);
    total += samples * (int64_t)pick.graph->roles.size();
  }
  return total;
}

class Pusher {
 public:
  Pusher(sqlite3 *db, PushOptions &o, orvtsdb::RemoteWriteClient *c)
      : db_(db),
        o_(o),
        client_(c),
        selected_(select_samples(db, o.sel)),
        names_(db),
        picked_(picked_of(selected_)),
        progress_(isatty(STDERR_FILENO) == 1) {}

  void run() {
    std::string err;
    if (!orvtsdb::list_migration_runs(db_, runs_of_, err)) die_reading(db_, err);
    if (progress_) total_ = selected_values(db_, o_, picked_);
    for (const auto &[place, pick] : picked_) {
      auto each = [&, &pick = pick](const orvtsdb::ChunkView &c) { chunk(c, pick); };
      // from the series' start: its counters sum every interval before --from
      if (!orvtsdb::for_each_chunk(db_, place.first, place.second,
                                   std::numeric_limits<int64_t>::min(), o_.sel.to, each, err))
        die(EXIT_FAILURE_OTHER, err);
    }
    // Samples stored, but not a value among them the engine takes (a window
    // of gaps, a role of intervals without events): nothing is no push.
    if (counted_ == 0)
      die(EXIT_NO_MATCH, orvtsdb::store_name(db_) +
                             ": nothing to push: every value of the selected samples is missing");
    if (client_ && !client_->flush(err)) fail(err);
    if (progress_) std::fputs("\n", stderr);
    double secs = std::chrono::duration<double>(Clock::now() - started_).count();
    const std::string url = orvtsdb::shown_url(o_.remote.url);
    if (!client_) {
      std::printf("would push %lld samples of %zu series to %s, %s, %s%s\n", (long long)counted_,
                  series_sent(), url.c_str(), span_text().c_str(), runs_text(o_.sel.runs).c_str(),
                  non_finite_text(non_finite_).c_str());
      if (o_.verify) verify();  // what an earlier push left in the engine
      return;
    }
    std::printf(
        "pushed %lld samples of %zu series in %lld requests to %s in %.2f s "
        "(%.0f samples/s), %s, %s%s\n",
        (long long)client_->accepted(), series_sent(), (long long)client_->requests(), url.c_str(),
        secs, secs > 0 ? (double)client_->accepted() / secs : 0.0, span_text().c_str(),
        runs_text(o_.sel.runs).c_str(), non_finite_text(non_finite_).c_str());
    if (o_.verify) verify();
  }

 private:
  [[noreturn]] void fail(const std::string &err) {
    if (progress_) std::fputs("\n", stderr);
    die(EXIT_FAILURE_OTHER,
        err + " (" + std::to_string(client_->accepted()) + " samples were accepted before)");
  }

  size_t series_sent() const {
    return (size_t)std::count_if(sent_.begin(), sent_.end(),
                                 [](const auto &s) { return s.second.count > 0; });
  }

  /* "time range <first> .. <last> UTC" of what was (or would be) sent. */
  std::string span_text() const {
    if (first_ > last_) return "no time range (nothing selected)";
    return "time range " + utc_text(first_) + " .. " + utc_text(last_) + " UTC";
  }

  /* Reads back per series what the engine holds; a shortfall is named per
   * series on standard error and fails the command. */
  void verify() {
    std::vector<orvtsdb::Shortfall> short_of;
    std::string err;
    if (!orvtsdb::read_back(o_.remote, sent_, &short_of, err)) die(EXIT_FAILURE_OTHER, err);
    size_t shown = 0, empty = 0;
    for (const orvtsdb::Shortfall &s : short_of) {
      empty += s.held == 0;
      if (++shown > 20) continue;  // the count below says how many
      std::fprintf(stderr, "orvtsdb: short: %s holds %lld of %lld samples sent (%s .. %s UTC)\n",
                   s.series.c_str(), (long long)s.held, (long long)s.sent.count,
                   utc_text(s.sent.first).c_str(), utc_text(s.sent.last).c_str());
    }
    const std::string url = orvtsdb::shown_url(o_.remote.url);
    if (!short_of.empty() && empty == series_sent())
      die(EXIT_FAILURE_OTHER,
          "the engine at " + url +
              (client_ ? " answered every request with success but holds" : " holds") +
              " none of the " + std::to_string(series_sent()) +
              " series sent: either the URL is not its remote-write endpoint (VictoriaMetrics "
              "and Prometheus take /api/v1/write) or it drops samples of this time range (older "
              "than its retention, or than Prometheus's out-of-order window; in the future); "
              "check the URL and the engine's retention and flags, then push again");
    if (!short_of.empty())
      die(EXIT_FAILURE_OTHER,
          "the engine at " + url + " holds fewer samples than it accepted in " +
              std::to_string(short_of.size()) + " of " + std::to_string(series_sent()) +
              " series: it lost samples it had not yet made durable (a restart or crash after "
              "the push), or drops part of the time range (retention); push again to complete "
              "them, and if the same series stay short, check the engine's retention");
    std::printf("verified: the engine holds every sample of the %zu series\n", series_sent());
  }

  /* The mapping and engine series of a chunk's graph, made once per series,
   * graph, data type and run; their metadata goes with the next request. */
  orvtsdb::EngineSeriesSet &series_set(const orvtsdb::ChunkView &c, const Pick &pick,
                                       const orvtsdb::MigrationRun &m) {
    auto [it, added] = labels_.try_emplace({c.sid, c.graph, c.data_type, m.run});
    if (added) {
      auto r = runs_.try_emplace(m.run, orvtsdb::run_labels(m.run, m.run_dir, m.start_time)).first;
      const SelectedGraph &g = *pick.graph;
      it->second.mapping = names_.mapping(g.gid, g.idx, g.group, g.name, g.description,
                                          c.data_type);
      orvtsdb::PromLabels labels = orvtsdb::series_labels(g.group, g.name, pick.series->tags,
                                                          r->second, o_.extra);
      it->second.labels = orvtsdb::output_labels(it->second.mapping, labels);
      if (client_)
        for (const orvtsdb::EngineFamily &f : it->second.mapping.families)
          client_->metadata(f.name, f.type, f.help);
    }
    return it->second;
  }

  /* The selected samples of a chunk to the client (none on a dry run),
   * counted per series. */
  class Sink final : public orvtsdb::EngineSampleSink {
   public:
    Sink(Pusher &p, const orvtsdb::EngineSeriesSet &set, const Pick &pick)
        : p_(p), set_(set), pick_(pick) {}
    bool begin(size_t o) override {
      if (!output_selected(pick_.graph->roles, set_.mapping, o)) return false;
      if (p_.client_) p_.client_->series(set_.labels[o]);
      sent_ = &p_.sent_[set_.labels[o]];
      return true;
    }
    bool sample(size_t, int64_t t, double v, std::string &err) override {
      if (t < p_.o_.sel.from || t > p_.o_.sel.to) return true;
      t += p_.o_.shift;
      if (p_.client_ && !p_.client_->add(t * 1000, v, err)) return false;
      sent_->add(t);
      p_.counted_++;
      p_.first_ = std::min(p_.first_, t), p_.last_ = std::max(p_.last_, t);
      return true;
    }

   private:
    Pusher &p_;
    const orvtsdb::EngineSeriesSet &set_;
    const Pick &pick_;
    orvtsdb::SentSeries *sent_ = nullptr;
  };

  void chunk(const orvtsdb::ChunkView &c, const Pick &pick) {
    auto m = runs_of_.find(c.migration);
    if (m == runs_of_.end()) return;  // no migration owns it: not a stored sample
    orvtsdb::EngineSeriesSet &set = series_set(c, pick, m->second);
    Sink sink(*this, set, pick);
    std::string err;
    if (!orvtsdb::chunk_samples(set, {c.values, c.count, c.roles, c.start, c.step}, sink, err))
      fail(err);
    count_non_finite(c, pick);
    done_ += (int64_t)pick.graph->roles.size() * c.count;
    if (progress_) show_progress();
  }

  /* Counts the chunk's values of the selected roles and time range that are
   * not finite, which the mapping leaves out, for the closing line. */
  void count_non_finite(const orvtsdb::ChunkView &c, const Pick &pick) {
    int first = 0, end = c.count;  // the samples in [--from, --to]
    while (first < end && c.start + first * c.step < o_.sel.from) first++;
    while (end > first && c.start + (end - 1) * c.step > o_.sel.to) end--;
    for (int r : pick.graph->roles)
      if (r < c.roles) non_finite_ += non_finite_values(c.column(r) + first, (size_t)(end - first));
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
                 secs > 0 ? (double)(client_ ? client_->accepted() : counted_) / secs : 0.0, left);
  }

  sqlite3 *db_;
  const PushOptions &o_;
  orvtsdb::RemoteWriteClient *client_;  // null for a dry run
  Selected selected_;                   // owns the graphs and series picked_ points at
  EngineNames names_;
  Picked picked_;
  bool progress_;
  std::map<int64_t, orvtsdb::MigrationRun> runs_of_;  // by migration id
  std::map<std::string, orvtsdb::RunLabels> runs_;
  std::map<std::tuple<int64_t, int, int, std::string>, orvtsdb::EngineSeriesSet> labels_;
  orvtsdb::SentSamples sent_;
  int64_t total_ = 0, done_ = 0, counted_ = 0, non_finite_ = 0;
  int64_t first_ = std::numeric_limits<int64_t>::max(), last_ = std::numeric_limits<int64_t>::min();
  Clock::time_point started_ = Clock::now(), shown_;
};

/* The labels of --extra-label NAME=VALUE: a name as Prometheus takes it,
 * none of the mapping's own or twice. Dies (usage) on one that is not. */
orvtsdb::PromLabels extra_labels(const std::vector<std::string> &given) {
  orvtsdb::PromLabels out;
  // the labels every series has; a tag's label is made to keep clear of them
  const std::set<std::string> ours = {"__name__", "group",     "graph",     "run",
                                      "run_id",   "run_start", "run_folder"};
  for (const std::string &l : given) {
    size_t eq = l.find('=');
    std::string name = l.substr(0, eq);
    bool valid = eq != std::string::npos && !name.empty() &&
                 !std::isdigit((unsigned char)name[0]) && name.rfind("__", 0) != 0 &&
                 std::all_of(name.begin(), name.end(),
                             [](char c) { return std::isalnum((unsigned char)c) || c == '_'; });
    if (!valid)
      die(EXIT_USAGE, "--extra-label '" + l +
                          "' is not NAME=VALUE with a label name of letters, digits and '_' "
                          "(not starting with a digit or '__')");
    if (ours.count(name) ||
        std::any_of(out.begin(), out.end(), [&](const auto &p) { return p.first == name; }))
      die(EXIT_USAGE, "--extra-label " + name +
                          " is given twice or is one of the labels every series has "
                          "(group, graph, run, run_id, run_start, run_folder)");
    out.emplace_back(name, l.substr(eq + 1));
  }
  return out;
}

/* USER:PASSWORD for basic auth from --user and where the password is: the
 * option itself, --password-file, or $ORVTSDB_PASSWORD. Dies (usage) on a
 * user without a password. */
std::string with_password(const std::string &user, const std::string &file) {
  const char *env = std::getenv("ORVTSDB_PASSWORD");
  if (user.empty()) {
    if (!file.empty()) die(EXIT_USAGE, "--password-file needs --user USER");
    return user;
  }
  bool inline_password = user.find(':') != std::string::npos;
  if (inline_password && !file.empty())
    die(EXIT_USAGE, "--user gives a password and --password-file another: give one");
  if (inline_password) return user;
  if (!file.empty()) {
    std::ifstream in(file);
    std::stringstream text;
    if (!(in && text << in.rdbuf())) die(EXIT_USAGE, "cannot read the password file " + file);
    std::string pw = text.str();
    while (!pw.empty() && (pw.back() == '\n' || pw.back() == '\r')) pw.pop_back();
    return user + ":" + pw;
  }
  if (env) return user + ":" + env;
  die(EXIT_USAGE, "--user " + user +
                      " has no password: give USER:PASSWORD, --password-file FILE or "
                      "ORVTSDB_PASSWORD");
}

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
  // Bounds of what a request can sensibly be: a batch is held in memory and
  // encoded whole, a timeout beyond a day or retries beyond a thousand wait
  // on an engine that is gone.
  cmd->add_option("--batch", r.batch_samples, "samples per request")
      ->check(whole_number(1, 10000000))
      ->capture_default_str();
  auto timeout_s = std::make_shared<long>(r.timeout_ms / 1000);
  cmd->add_option("--timeout", *timeout_s, "seconds one request may take")
      ->check(whole_number(1, 86400))
      ->capture_default_str();
  cmd->add_option("--retries", r.max_retries, "tries after the first on 5xx, 429 or no answer")
      ->check(whole_number(0, 1000))
      ->capture_default_str();
  cmd->add_option("--user", r.basic_auth,
                  "USER:PASSWORD for basic authentication, or USER with the password from "
                  "--password-file or $ORVTSDB_PASSWORD (which ps does not show)");
  cmd->add_option("--password-file", o->password_file, "file holding the password of --user USER")
      ->check(CLI::ExistingFile);
  cmd->add_option("--bearer-token-file", r.bearer_token_file, "file holding a bearer token");
  cmd->add_option("--header", r.headers, "extra header 'Name: value' (repeatable)");
  cmd->add_flag("--dry-run", o->dry_run,
                "print what would be sent (series, samples, time range) and send nothing");
  cmd->add_option("--extra-label", o->extra_labels,
                  "NAME=VALUE label added to every series (repeatable)");
  cmd->add_flag("--verify", o->verify,
                "read back per series what the engine holds and compare (the default after "
                "sending; with --dry-run: without sending, to check an earlier push)");
  cmd->add_flag("--no-verify", o->no_verify, "do not read back what the engine holds")
      ->excludes("--verify");
  add_align_start_option(*cmd, o->align_start);
  cmd->callback([o, timeout_s] {
    o->remote.timeout_ms = *timeout_s * 1000;
    o->verify = o->verify || (!o->dry_run && !o->no_verify);
    o->extra = extra_labels(o->extra_labels);
    o->remote.basic_auth = with_password(o->remote.basic_auth, o->password_file);
    Store st(o->store);
    o->shift = align_shift(st.db(), o->align_start, o->sel.run);
    std::string err;
    auto client = orvtsdb::RemoteWriteClient::open(o->remote, err);
    if (!client) die(EXIT_USAGE, err);
    Pusher(st.db(), *o, o->dry_run ? nullptr : client.get()).run();
  });
}

}  // namespace orvtsdb_cli
