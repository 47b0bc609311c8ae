/*
 * engine_support.h - what the engine tests share: a time-series engine
 * started on a free loopback port with a data folder of its own and stopped
 * by its process id, small HTTP calls, and the samples of a local store and
 * of an engine as comparable maps.
 */
#ifndef ENGINE_SUPPORT_H
#define ENGINE_SUPPORT_H

#include <sys/types.h>

#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "vzu_test_support.h"

/* Starts an engine with `call` (one of the start_* below) in a test: skips
 * the test when the engine is not installed, fails it on any other reason. */
#define START_OR_SKIP(call)                                                  \
  do {                                                                       \
    std::string why = call;                                                  \
    if (why.find("not installed") != std::string::npos) GTEST_SKIP() << why; \
    ASSERT_EQ(why, "");                                                      \
  } while (0)

namespace engine_test {

/* A TCP socket listening on 127.0.0.1 at a port the kernel picks, its
 * number in *port; -1 when the kernel refuses one. */
int loopback_listener(int *port);

/* A free TCP port on 127.0.0.1 (bound once, then released). */
int free_port();

/* A server process. start() waits until `ready_path` answers 200, at most
 * READY_SECONDS; the destructor stops it (SIGTERM, then SIGKILL). */
class EngineProcess {
 public:
  EngineProcess() = default;
  ~EngineProcess();
  EngineProcess(const EngineProcess &) = delete;
  EngineProcess &operator=(const EngineProcess &) = delete;

  /* Empty on success, else why the engine did not come up (its log's tail). */
  std::string start(const std::string &program, const std::vector<std::string> &args, int port,
                    const std::string &ready_path, const std::string &log);
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  void stop();
  /* SIGKILL, as a crash: the engine gets no chance to save anything. */
  void kill_hard();

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

/* Where a program is on PATH, or "" when it is not installed. */
std::string find_program(const std::string &name);

/* Starts VictoriaMetrics with data under `dir`, long retention, per-time
 * stamp deduplication and no query cache, on `port` (0: a free one), with
 * `extra` arguments. Empty on success, else why not. */
std::string start_victoria_metrics(EngineProcess &p, const std::string &dir,
                                   const std::vector<std::string> &extra = {}, int port = 0);
/* Starts Prometheus with the remote-write receiver, a long retention and an
 * out-of-order window of `ooo_window` ("" for none). */
std::string start_prometheus(EngineProcess &p, const std::string &dir,
                             const std::string &ooo_window);

/* HTTP status (0 when no answer) and body of a GET, or of a form POST. */
std::pair<long, std::string> http(const std::string &url, const std::string &form = "");

/* group, graph, role ("value" for a single-role graph) or engine metric
 * name, series identity text. */
using SeriesKey = std::tuple<std::string, std::string, std::string, std::string>;
/* A series' samples: time in seconds and value, in time order. */
using Points = std::vector<std::pair<long long, double>>;
using SampleMap = std::map<SeriesKey, Points>;

size_t sample_count(const SampleMap &m);

/* Data types by group and graph name. */
using GraphTypes = std::map<std::pair<std::string, std::string>, int>;

/* What the engine should hold of a store's samples, keyed by group, graph
 * label, metric name and series (its tags' labels, "name=value,..."): the
 * engine mapping applied (names, units, running counts and sums, nothing
 * for the gauges of an interval without events). A graph's data type is
 * the one `types` gives, else guessed from its roles. */
SampleMap engine_view(const SampleMap &store, const GraphTypes &types = {});
/* engine_view of a store's samples with the store's data types. */
SampleMap engine_view_of(const std::string &store);

/* Every non-missing sample of a store (run directory or file). */
SampleMap store_samples(const std::string &store);
/* Every sample VictoriaMetrics holds, and the distinct "run_id run run_start" of its series. */
SampleMap victoria_samples(const std::string &base, std::vector<std::string> *runs = nullptr);
/* Every sample Prometheus holds between `from` and `to` (seconds). */
SampleMap prometheus_samples(const std::string &base, long long from, long long to);

/* How exactly an engine keeps a float64: bit for bit (Prometheus), or as a
 * decimal of about 12 significant digits of the largest value of a block of
 * the series (VictoriaMetrics: 70.23582999999999 comes back as 70.23583,
 * 11490.399609375 as 11490.39960937). */
enum class Precision { bits, decimal_12_digits };

/* The same series, sample counts and values (as exactly as the engine keeps
 * them); at most 10 differences reported. */
void expect_same_samples(const SampleMap &store, const SampleMap &engine,
                         Precision p = Precision::bits);

/* Environment of the tool and the command: no store location, no library path. */
std::vector<std::pair<std::string, std::string>> clean_env();

/* A generated run migrated into its local store by the tool: the small
 * preset, or the one ENGINE_TEST_PRESET names when `any_preset` (the round
 * trips of a bigger run, on demand). */
void generate_and_migrate(const vzu_test::TempRun &run, bool any_preset = false);
/* A generated run of the small preset, not migrated. */
void generate(const vzu_test::TempRun &run);
/* Puts the run back as generated (a migration adds partition folders and
 * rewrites summary.top, so a second one would see another run); its store
 * is kept at `keep_store` and its identity (tsdb/run.id) stays in place. */
void restore_generated_run(const vzu_test::TempRun &run, const std::string &keep_store);

}  // namespace engine_test

#endif
