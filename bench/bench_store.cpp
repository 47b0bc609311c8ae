/*
 * bench_store.cpp - the store's goals on a generated run, in one process:
 *
 *   1. ingest through the nine calls, against a plain loop that decodes the
 *      same raw values (ratio; goal >= 20 M values/s);
 *   2. store size against plain SQLite rows (one row per series, graph and
 *      time stamp, one column per role, best bulk settings, index built after
 *      the load; goal <= 1/4);
 *   3. reading one series' graph over the whole run (goal >= 50 M values/s).
 *
 * The run: BENCH_SERIES vectors (default 400) in 4 groups of 5 graphs (times,
 * sample, times_4B_1000, sample_2B_100_count_4B, rate: 12 values a vector),
 * BENCH_SAMPLES samples (default 2000) at 10 s; raw values are 32-bit
 * integers that random-walk, scaled by 1000 or 100, about 1% missing.
 * Google Benchmark times each part; a table of figures follows.
 */
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "chunk_cursor.h"
#include "orvtsdb.h"
#include "read_connection.h"

namespace {

constexpr int GROUPS = 4;
constexpr int ELEMENTS = 12;
constexpr int GRAPH_TYPES[] = {3, 0, 7, 10, 1};
constexpr int GRAPH_ROLES[] = {4, 1, 4, 2, 1};
constexpr int RAW_MISSING = INT_MIN;

struct Run {
  int series = 400, samples = 2000;
  std::vector<int32_t> raw;  // samples x series x ELEMENTS
  double scale[ELEMENTS];
  std::string dir;
  int64_t values() const { return (int64_t)series * samples * ELEMENTS; }
};

Run g_run;
/* Wall-clock and CPU seconds of one part (best of its iterations). The
 * machine is shared, so both are shown: CPU time is what the code costs,
 * wall time adds waiting for the disk and for other processes. */
struct Took {
  double wall = 1e9, cpu = 1e9;
};
Took g_decode, g_ingest, g_rows, g_read;
int64_t g_store_bytes = 0, g_rows_bytes = 0, g_read_values = 0;

int env_int(const char *name, int fallback) {
  const char *v = std::getenv(name);
  return v && *v ? std::atoi(v) : fallback;
}

void generate(Run &r) {
  r.series = env_int("BENCH_SERIES", r.series);
  r.samples = env_int("BENCH_SAMPLES", r.samples);
  std::mt19937 rng(7);
  r.raw.resize((size_t)r.samples * r.series * ELEMENTS);
  std::vector<int32_t> level((size_t)r.series * ELEMENTS);
  for (auto &l : level) l = rng() % 100000;
  for (int e = 0; e < ELEMENTS; e++) r.scale[e] = e == 9 ? 100.0 : 1000.0;
  size_t k = 0;
  for (int t = 0; t < r.samples; t++)
    for (size_t i = 0; i < level.size(); i++, k++) {
      level[i] = std::max(0, level[i] + (int)(rng() % 201) - 100);
      r.raw[k] = rng() % 100 == 0 ? RAW_MISSING : level[i];
    }
  char tmpl[] = "/tmp/bench_store_XXXXXX";
  r.dir = mkdtemp(tmpl);
}

/* The decoding every migration pays: raw integers to scaled doubles. */
inline void decode_row(const int32_t *raw, const double *scale, double *row) {
  for (int e = 0; e < ELEMENTS; e++)
    row[e] = raw[e] == RAW_MISSING ? TSDB_MISSING_VALUE : raw[e] / scale[e];
}

double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

class Stopwatch {
 public:
  Stopwatch() : wall_(std::chrono::steady_clock::now()), cpu_(cpu_now()) {}
  Took took() const {
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_).count(),
            cpu_now() - cpu_};
  }
  /* Keeps the better of this run and what `best` holds. */
  void keep_best(Took &best) const {
    Took t = took();
    best = {std::min(best.wall, t.wall), std::min(best.cpu, t.cpu)};
  }

 private:
  std::chrono::steady_clock::time_point wall_;
  double cpu_;
};

void BM_Decode(benchmark::State &state) {
  double row[ELEMENTS], sum = 0;
  for (auto _ : state) {
    Stopwatch w;
    const int32_t *raw = g_run.raw.data();
    for (int t = 0; t < g_run.samples; t++)
      for (int s = 0; s < g_run.series; s++, raw += ELEMENTS) {
        decode_row(raw, g_run.scale, row);
        benchmark::DoNotOptimize(row);
        sum += row[0];
      }
    w.keep_best(g_decode);
  }
  benchmark::DoNotOptimize(sum);
  state.counters["values/s"] = benchmark::Counter((double)g_run.values() * state.iterations(),
                                                  benchmark::Counter::kIsRate);
}

int register_group(int g) {
  tsdb_metric_group grp{};
  std::snprintf(grp.group_name, sizeof grp.group_name, "Group %d", g);
  std::snprintf(grp.heirarchy, sizeof grp.heirarchy, "Tier>Server");
  tsdb_metric_info graphs[5] = {};
  for (int i = 0; i < 5; i++) {
    graphs[i].data_type = (unsigned char)GRAPH_TYPES[i];
    std::snprintf(graphs[i].graph_name, sizeof graphs[i].graph_name, "Graph %d", i);
  }
  char err[TSDB_ERR_MSG_LEN];
  return tsdb_register_gdf(&grp, 5, graphs, err);
}

/* One whole migration of the run through the nine calls. */
void migrate_run(const std::string &db) {
  setenv("ORVTSDB_URL", ("sqlite:" + db).c_str(), 1);
  tsdb_init_migration(1700000000);
  int gids[GROUPS];
  for (int g = 0; g < GROUPS; g++) gids[g] = register_group(g);
  std::vector<void *> ids(g_run.series);
  std::vector<std::string> names(g_run.series);
  for (int s = 0; s < g_run.series; s++) {
    ids[s] = tsdb_malloc_metric_id_buffer(5);
    names[s] = "S" + std::to_string(s);
  }
  double row[ELEMENTS];
  char err[TSDB_ERR_MSG_LEN];
  const int32_t *raw = g_run.raw.data();
  for (int t = 0; t < g_run.samples; t++) {
    for (int s = 0; s < g_run.series; s++, raw += ELEMENTS) {
      decode_row(raw, g_run.scale, row);
      if (t > 0) {
        tsdb_insert_bulk_metric_by_id(nullptr, ids[s], 10, row, 5, 0, ELEMENTS);
        continue;
      }
      tag_val_ptr_t tv[2] = {{(char *)"Tier", (char *)"T1"}, {(char *)"Server", names[s].data()}};
      tsdb_insert_bulk_metric_by_mg_gid_ex(tv, nullptr, nullptr, 0, 2, gids[s % GROUPS], 10, row, 5,
                                           ids[s], 0, err, ELEMENTS);
    }
    tsdb_migration_increment_sample_ex(10);
  }
  tsdb_exit_migration(1700000000 + 10L * g_run.samples);
  for (void *id : ids) tsdb_free_metric_id_buffer(id);
}

int64_t file_bytes(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

void BM_IngestNineCalls(benchmark::State &state) {
  std::string db = g_run.dir + "/store.sqlite";
  for (auto _ : state) {
    std::filesystem::remove(db);
    Stopwatch w;
    migrate_run(db);
    w.keep_best(g_ingest);
  }
  g_store_bytes = file_bytes(db);
  state.counters["values/s"] = benchmark::Counter((double)g_run.values() * state.iterations(),
                                                  benchmark::Counter::kIsRate);
}

void exec(sqlite3 *db, const char *sql) { sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

/* The row layout: one row per series, graph and time stamp. */
void BM_PlainSqliteRows(benchmark::State &state) {
  std::string path = g_run.dir + "/rows.sqlite";
  for (auto _ : state) {
    std::filesystem::remove(path);
    Stopwatch w;
    sqlite3 *db;
    sqlite3_open(path.c_str(), &db);
    exec(db,
         "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA cache_size=-262144;"
         "CREATE TABLE samples(sid INTEGER, graph INTEGER, time INTEGER, v0 REAL, v1 REAL,"
         " v2 REAL, v3 REAL, v4 REAL); BEGIN");
    sqlite3_stmt *ins;
    sqlite3_prepare_v2(db, "INSERT INTO samples VALUES(?1,?2,?3,?4,?5,?6,?7,?8)", -1, &ins,
                       nullptr);
    double row[ELEMENTS];
    const int32_t *raw = g_run.raw.data();
    for (int t = 0; t < g_run.samples; t++)
      for (int s = 0; s < g_run.series; s++, raw += ELEMENTS) {
        decode_row(raw, g_run.scale, row);
        for (int g = 0, off = 0; g < 5; off += GRAPH_ROLES[g++]) {
          sqlite3_bind_int(ins, 1, s);
          sqlite3_bind_int(ins, 2, g);
          sqlite3_bind_int64(ins, 3, 1700000000 + 10L * t);
          for (int r = 0; r < 5; r++) {
            if (r >= GRAPH_ROLES[g] || row[off + r] == TSDB_MISSING_VALUE)
              sqlite3_bind_null(ins, 4 + r);
            else
              sqlite3_bind_double(ins, 4 + r, row[off + r]);
          }
          sqlite3_step(ins);
          sqlite3_reset(ins);
        }
      }
    sqlite3_finalize(ins);
    exec(db, "COMMIT; CREATE INDEX samples_by_series ON samples(sid, graph, time)");
    sqlite3_close(db);
    w.keep_best(g_rows);
  }
  g_rows_bytes = file_bytes(path);
  std::filesystem::remove(path);
}

/* Reads series 1's "times" graph (4 roles) over the whole run. */
void BM_ReadOneSeriesGraph(benchmark::State &state) {
  std::string open_err;
  sqlite3 *db = orvtsdb::open_for_reading(g_run.dir + "/store.sqlite", open_err);
  if (!db) {
    state.SkipWithError(open_err.c_str());
    return;
  }
  orvtsdb::ChunkFilter f;
  f.sid = 1;
  f.graph = 0;
  int64_t values = 0;
  double sum = 0;
  Stopwatch w;
  for (auto _ : state) {
    orvtsdb::ChunkCursor c;
    std::string err;
    if (!c.open(db, f, err)) {
      state.SkipWithError(err.c_str());
      break;
    }
    while (c.next(err)) {
      for (int r = 0; r < c.roles(); r++)
        for (int i = 0; i < c.count(); i++) sum += c.value(i, r);
      values += (int64_t)c.count() * c.roles();
    }
  }
  g_read = w.took();  // the last (longest) batch Google Benchmark ran
  g_read_values = values;
  benchmark::DoNotOptimize(sum);
  sqlite3_close(db);
  state.counters["values/s"] = benchmark::Counter((double)values, benchmark::Counter::kIsRate);
}

void rate_line(const char *what, double values, const Took &t, const char *goal) {
  std::printf("%-36s %9.1f M/s %9.1f M/s %12s\n", what, values / t.wall / 1e6, values / t.cpu / 1e6,
              goal);
}

void print_table() {
  double v = (double)g_run.values();
  std::printf("\nstore goals: %d series x %d samples = %.1f M values (%d per vector)\n",
              g_run.series, g_run.samples, v / 1e6, ELEMENTS);
  std::printf("%-36s %13s %13s %12s\n", "", "wall", "cpu", "goal");
  rate_line("decode only (plain loop)", v, g_decode, "");
  rate_line("ingest through the nine calls", v, g_ingest, ">= 20 M/s");
  std::printf("%-36s %12.1fx %12.1fx\n", "  ingest time / decode time",
              g_ingest.wall / g_decode.wall, g_ingest.cpu / g_decode.cpu);
  rate_line("plain SQLite rows, load + index", v, g_rows, "");
  rate_line("read one series' graph, decoded", (double)g_read_values, g_read, ">= 50 M/s");
  std::printf("%-36s %10.2f MB\n", "store size", g_store_bytes / 1e6);
  std::printf("%-36s %10.2f MB\n", "plain SQLite rows size", g_rows_bytes / 1e6);
  std::printf("%-36s %13.3f %13s %12s\n", "  store / rows", (double)g_store_bytes / g_rows_bytes,
              "", "<= 0.25");
  std::printf("%-36s %11.2f B\n", "  store bytes per value", g_store_bytes / v);
}

}  // namespace

int main(int argc, char **argv) {
  generate(g_run);
  benchmark::RegisterBenchmark("decode_only", BM_Decode)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(3);
  benchmark::RegisterBenchmark("ingest_nine_calls", BM_IngestNineCalls)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(3);
  benchmark::RegisterBenchmark("plain_sqlite_rows", BM_PlainSqliteRows)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(1);
  benchmark::RegisterBenchmark("read_one_series_graph", BM_ReadOneSeriesGraph)
      ->Unit(benchmark::kMicrosecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  print_table();
  std::filesystem::remove_all(g_run.dir);
  return 0;
}
