/*
 * tsdb_api.cpp - the nine exported calls: argument checks, messages, and the
 * one migration in progress.
 *
 * The migration opens at tsdb_init_migration, or at time 0 on the first other
 * call when the caller never opened one (said once on standard error), and
 * closes at tsdb_exit_migration. A failure never crashes the caller: calls
 * return a negative result (0xFF for the delete) with "orvtsdb: <reason>" in
 * the caller's message buffer when one is given; the two calls without a
 * buffer (init, exit) report on standard error. An exception (out of
 * memory) is caught at each call, becomes that call's failure and fails the
 * migration, which then commits nothing.
 *
 * When tsdb_init_migration could not open the store, no later call opens it
 * at time 0 instead: they all fail with the same reason until the next
 * tsdb_init_migration, so a refused start never becomes a run at 1970.
 *
 * A metric id buffer (MetricId) names its series by index in the migration
 * and carries the migration's generation, so a buffer of an earlier
 * migration or a foreign block is refused instead of followed.
 * Not thread-safe: one caller thread, as the interface prescribes.
 */
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "migration.h"
#include "open_store_backend.h"
#include "run_identity.h"
#include "shown_url.h"
#include "store_location.h"

#pragma GCC visibility push(default)
#include "orvtsdb.h"
#pragma GCC visibility pop

using namespace orvtsdb;

namespace {

constexpr uint32_t ID_MAGIC_EMPTY = 0x4f52564e;  // "ORVN": handed out, not yet filled
constexpr uint32_t ID_MAGIC_SET = 0x4f525653;    // "ORVS": names a series

struct MetricId {
  uint32_t magic;
  uint32_t generation;
  int32_t series;
  int32_t num_graphs;
  bool ended_series = false;  // its series was deleted through this buffer
};

std::unique_ptr<Migration> g_migration;
uint32_t g_generation = 0;
// No migration can open: tsdb_init_migration failed, or a call came before
// it. Until the next tsdb_init_migration succeeds or the exit reports it.
bool g_init_failed = false;
std::string g_init_error;     // why
std::string g_store_path;     // the store of the open migration, for messages
bool g_store_remote = false;  // it is an engine's remote-write endpoint (no rollback)
bool g_broken_told = false;   // the open migration's failure was said on standard error

void put_msg(char *buf, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void put_msg(char *buf, const char *fmt, ...) {
  if (!buf) return;
  int n = std::snprintf(buf, TSDB_ERR_MSG_LEN, "orvtsdb: ");
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf + n, TSDB_ERR_MSG_LEN - n, fmt, ap);
  va_end(ap);
}

void say(const std::string &text) { std::fprintf(stderr, "orvtsdb: %s\n", text.c_str()); }

/* Says once, on standard error, why the open migration failed (a full disk,
 * a write error): a caller that only counts failed inserts would otherwise
 * know nothing of the cause. Returns `rc`, the failed call's result. */
template <class R>
R told(R rc) {
  if (!g_migration || g_broken_told || g_migration->broken().empty()) return rc;
  g_broken_told = true;
  say(g_store_path + ": the migration stopped and will store nothing: " + g_migration->broken());
  return rc;
}

bool open_migration(int64_t start, std::string &err) {
  StoreLocation loc;
  if (!resolve_store_location(loc, err)) return false;
  std::string run;
  std::unique_ptr<StoreBackend> backend;
  // An engine is asked to take an empty write first, so an unusable one
  // refuses before anything of the run (its identity included) is read; a
  // local store is opened once the run is known, as before.
  const bool remote = !loc.remote_url.empty();
  auto open_backend = [&] { return (backend = open_store_backend(loc, err)) != nullptr; };
  // A start the store cannot keep and the run's labels are checked before
  // anything is written: no store file, no run identity for a migration
  // they refuse.
  Labels labels;
  bool opened = Migration::valid_start(start, err) && labels_from_environment(labels, err) &&
                (remote ? open_backend() && run_identity(loc, &run, err)
                        : run_identity(loc, &run, err) && open_backend());
  if (!opened || !(g_migration = Migration::start(std::move(backend), run, loc.run_dir, start,
                                                  std::move(labels), err))) {
    const std::string where = remote ? shown_url(loc.remote_url) : loc.path;
    if (err.find(where) == std::string::npos) err = where + ": " + err;
    return false;
  }
  g_store_remote = remote;
  g_store_path = remote ? shown_url(loc.remote_url) : loc.path;
  g_broken_told = false;
  g_generation++;
  return true;
}

/* The open migration; null with a reason. A call before any
 * tsdb_init_migration has no start time to put its samples at (the caller
 * read no first raw sample file): the migration is refused, once said, and
 * its exit fails with the store untouched, instead of keeping the run at
 * times counted from the epoch. */
Migration *session(char *err_msg) {
  if (g_migration) {
    if (g_migration->broken().empty()) return g_migration.get();
    put_msg(err_msg, "migration failed earlier: %s", g_migration->broken().c_str());
    return told(nullptr);
  }
  if (!g_init_failed) {
    g_init_failed = true;
    g_init_error =
        "no start time: a store call came before tsdb_init_migration, so its samples "
        "have no time";
    say(g_init_error);
  }
  put_msg(err_msg, "no migration: %s", g_init_error.c_str());
  return nullptr;
}

/* The series a filled metric id buffer names in the open migration, or -1.
 * On every insert: kept small enough to inline. */
inline int series_of(const void *metric_id, char *err_msg) {
  const MetricId *id = static_cast<const MetricId *>(metric_id);
  if (!id || id->magic != ID_MAGIC_SET || !g_migration || id->generation != g_generation ||
      id->series < 0 || (size_t)id->series >= g_migration->series_count()) {
    put_msg(err_msg, "metric id buffer does not name a series of this migration");
    return -1;
  }
  return id->series;
}

std::string bounded(const char *s, size_t cap) { return std::string(s, strnlen(s, cap)); }

GroupRecord group_record(const tsdb_metric_group &g, int num_graphs) {
  GroupRecord r;
  r.name = bounded(g.group_name, sizeof g.group_name);
  r.description = bounded(g.group_desc, sizeof g.group_desc);
  r.metric = bounded(g.group_metric, sizeof g.group_metric);
  r.hierarchy = bounded(g.heirarchy, sizeof g.heirarchy);
  r.type = g.group_type;
  r.report_id = g.rpt_grp_id;
  r.num_graphs = num_graphs;
  r.delay = g.metric_delay_in_second;
  return r;
}

GraphRecord graph_record(const tsdb_metric_info &g) {
  GraphRecord r;
  r.name = bounded(g.graph_name, sizeof g.graph_name);
  r.description = bounded(g.graph_desc, sizeof g.graph_desc);
  r.data_type = g.data_type;
  r.formula = g.formula;
  r.state = g.graph_state;
  r.report_id = g.rpt_id;
  return r;
}

/* Checks the tag/value list; fills tags or says in `why` what is wrong. */
bool tag_list(const tag_val_ptr_t *tv, int n, TagList &tags, std::string &why) {
  if (n < 0 || (n > 0 && !tv)) {
    why = "bad tag/value list (" + std::to_string(n) + " entries)";
    return false;
  }
  for (int i = 0; i < n; i++) {
    if (!tv[i].tag || !tv[i].val) {
      why = "tag/value entry " + std::to_string(i) + " has a null text";
      return false;
    }
    tags.emplace_back(tv[i].tag, tv[i].val);
  }
  return true;
}

/* A refused insert is a row of samples the store was asked to keep and did
 * not keep: the migration could no longer store the whole run, so it stops
 * and stores nothing (its exit says why). `where` names the series or group,
 * `why` the refusal (also given in err_msg). Returns -1. */
[[gnu::cold]] int refuse_insert(const std::string &where, const std::string &why, char *err_msg) {
  put_msg(err_msg, "%s", why.c_str());
  if (g_migration) g_migration->mark_broken("an insert of " + where + " was refused: " + why);
  return told(-1);
}

/* Says why a row does not fit its series (see row_fits). */
[[gnu::cold]] int refuse_misfit(const Migration &m, int series, int granularity, const double *data,
                                int total, char *err_msg) {
  char why[160];
  if (!data || granularity <= 0 || total != m.series_elements(series))
    std::snprintf(why, sizeof why,
                  "bad insert: data %s, granularity %d, %d elements (series has %d)",
                  data ? "given" : "null", granularity, total, m.series_elements(series));
  else
    std::snprintf(why, sizeof why, "series was deleted; create it again with a first insert");
  return refuse_insert(m.series_name(series), why, err_msg);
}

/* Shape checks shared by both inserts: the row must match an open series.
 * On every insert: the refusal is built out of line. */
inline bool row_fits(const Migration &m, int series, int granularity, const double *data,
                     int total) {
  return data && granularity > 0 && total == m.series_elements(series) && !m.series_ended(series);
}

/* What an exception inside a call leaves: the call fails, and so does the
 * migration (its state may be half-changed). */
void caught(const char *call, const char *what, char *err_msg) {
  if (g_migration) g_migration->mark_broken(what);
  if (err_msg)
    put_msg(err_msg, "%s stopped: %s", call, what);
  else  // no allocation here: memory may be short
    std::fprintf(stderr, "orvtsdb: %s%s stopped: %s\n",
                 std::strcmp(call, "tsdb_exit_migration") == 0
                     ? "migration not stored, the store is unchanged: "
                     : "",
                 call, what);
}

/* Runs a call's body; an exception becomes the result `failed`. */
template <class R, class F>
R guarded(const char *call, R failed, char *err_msg, F body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    caught(call, "out of memory", err_msg);
  } catch (const std::exception &e) {
    caught(call, e.what(), err_msg);
  } catch (...) {
    caught(call, "unexpected failure", err_msg);
  }
  return failed;
}

int init_migration(long start_time_sec) {
  if (g_migration) {
    say("tsdb_init_migration: a migration is already open");
    return -1;
  }
  g_init_failed = true;  // stays set if an exception cuts in
  g_init_error.clear();
  std::string err;
  if (open_migration(start_time_sec, err)) {
    g_init_failed = false;
    return 0;
  }
  g_init_error = "the store could not be opened: " + err;
  say("cannot open the store: " + err);
  return -1;
}

int register_gdf(tsdb_metric_group *group, int num_graphs, tsdb_metric_info *graphs,
                 char *err_msg) {
  if (!group || num_graphs < 0 || (num_graphs > 0 && !graphs) || group->group_name[0] == '\0') {
    put_msg(err_msg, "bad group: %s, %d graphs%s", group ? "given" : "null", num_graphs,
            group && !group->group_name[0] ? ", empty name" : "");
    return -1;
  }
  Migration *m = session(err_msg);
  if (!m) return -1;
  std::vector<GraphRecord> recs;
  for (int i = 0; i < num_graphs; i++) recs.push_back(graph_record(graphs[i]));
  std::string err;
  int gid = m->register_group(group_record(*group, num_graphs), recs, err);
  if (gid < 0) put_msg(err_msg, "%s", err.c_str());
  return gid < 0 ? told(gid) : gid;
}

void *malloc_metric_id_buffer(int num_graphs) {
  if (num_graphs <= 0) return nullptr;
  MetricId *id = static_cast<MetricId *>(std::malloc(sizeof(MetricId)));
  if (id) *id = MetricId{ID_MAGIC_EMPTY, 0, -1, num_graphs, false};
  return id;
}

int first_insert(tag_val_ptr_t *tag_val, int num_tag_val, int mg_gid, int granularity, double *data,
                 int num_graphs, void *metric_id, char *err_msg, int total_elements) {
  Migration *m = session(err_msg);
  if (!m) return -1;
  TagList tags;
  std::string why = "null metric id buffer";
  if (!metric_id || !tag_list(tag_val, num_tag_val, tags, why))
    return refuse_insert(m->group_name(mg_gid), why, err_msg);
  const GroupLayout *layout = m->layout(mg_gid);
  if (!layout || num_graphs != layout->num_graphs)
    return refuse_insert(m->group_name(mg_gid),
                         layout ? "it has another number of graphs" : "it is not registered",
                         err_msg);
  std::string err;
  int series = m->open_series(mg_gid, tags, err);
  if (series < 0) {
    put_msg(err_msg, "%s", err.c_str());
    return told(-1);
  }
  if (!row_fits(*m, series, granularity, data, total_elements))
    return refuse_misfit(*m, series, granularity, data, total_elements, err_msg);
  *static_cast<MetricId *>(metric_id) = MetricId{ID_MAGIC_SET, g_generation, series, num_graphs,
                                                 false};
  if (m->append(series, granularity, data, err)) return 0;
  put_msg(err_msg, "%s", err.c_str());
  return told(-1);
}

/* A by-id insert that did not fit at once (see insert_by_id): why it is
 * refused, or the one case that is kept. */
[[gnu::cold]] int refuse_by_id(const void *metric_id, int series, int granularity,
                               const double *data, int num_graphs, int total_elements) {
  if (!g_migration || !g_migration->broken().empty()) return told(-1);
  if (series < 0)
    return refuse_insert("an unknown series",
                         "the metric id buffer names no series of this migration", nullptr);
  const MetricId *id = static_cast<const MetricId *>(metric_id);
  if (num_graphs != id->num_graphs)
    return refuse_insert(g_migration->series_name(series),
                         "another number of graphs than its first insert", nullptr);
  // Two vectors of one tag list share a series: one deleted ends it, the
  // other's rows go on through its own buffer, as its first insert would
  // open the series again. Through the buffer that deleted it, never.
  if (g_migration->series_ended(series) && !id->ended_series && data && granularity > 0 &&
      total_elements == g_migration->series_elements(series)) {
    std::string err;
    if (g_migration->reopen_series(series, err) &&
        g_migration->append(series, granularity, data, err))
      return 0;
    return told(-1);
  }
  return refuse_misfit(*g_migration, series, granularity, data, total_elements, nullptr);
}

inline int insert_by_id(void *metric_id, int granularity, double *data, int num_graphs,
                        int total_elements) {
  int series = series_of(metric_id, nullptr);
  if (series < 0 || num_graphs != static_cast<MetricId *>(metric_id)->num_graphs ||
      !row_fits(*g_migration, series, granularity, data, total_elements) ||
      !g_migration->broken().empty())
    return refuse_by_id(metric_id, series, granularity, data, num_graphs, total_elements);
  std::string err;
  return g_migration->append(series, granularity, data, err) ? 0 : told(-1);
}

int increment_sample(int granularity) {
  if (granularity <= 0) return -1;
  Migration *m = session(nullptr);
  if (!m) return -1;
  return m->step(granularity) ? 0 : told(-1);
}

unsigned char delete_metric(void *metric_id, char *err_msg) {
  int series = series_of(metric_id, err_msg);
  if (series < 0) return 0xFF;
  std::string err;
  if (g_migration->end_series(series, err)) {
    static_cast<MetricId *>(metric_id)->ended_series = true;
    return 0;
  }
  put_msg(err_msg, "%s", err.c_str());
  return told((unsigned char)0xFF);
}

int exit_migration(long end_time_sec) {
  if (!g_migration) {
    if (!g_init_failed) return 0;
    say("migration not stored, the store is unchanged: " + g_init_error);
    g_init_failed = false;  // the next migration starts anew
    return -1;
  }
  std::string err;
  bool ok = g_migration->finish(end_time_sec, err);
  g_migration.reset();
  if (ok) return 0;
  if (g_store_remote)  // an engine keeps what it accepted; sending the run again completes it
    say("migration not completed in " + g_store_path +
        " (samples it accepted before stay; migrate the run again to complete it): " + err);
  else
    say("migration not stored in " + g_store_path + ", the store is unchanged: " + err);
  return -1;
}

}  // namespace

int tsdb_init_migration(long start_time_sec) {
  return guarded("tsdb_init_migration", -1, nullptr,
                 [&] { return init_migration(start_time_sec); });
}

int tsdb_register_gdf(tsdb_metric_group *group, int num_graphs, tsdb_metric_info *graphs,
                      char *err_msg) {
  return guarded("tsdb_register_gdf", -1, err_msg,
                 [&] { return register_gdf(group, num_graphs, graphs, err_msg); });
}

void *tsdb_malloc_metric_id_buffer(int num_graphs) {
  return malloc_metric_id_buffer(num_graphs);  // plain malloc: nothing to throw
}

int tsdb_insert_bulk_metric_by_mg_gid_ex(tag_val_ptr_t *tag_val, void *, void *, int,
                                         int num_tag_val, int mg_gid, int granularity, double *data,
                                         int num_graphs, void *metric_id, int, char *err_msg,
                                         int total_elements) {
  return guarded("tsdb_insert_bulk_metric_by_mg_gid_ex", -1, err_msg, [&] {
    return first_insert(tag_val, num_tag_val, mg_gid, granularity, data, num_graphs, metric_id,
                        err_msg, total_elements);
  });
}

int tsdb_insert_bulk_metric_by_id(void *, void *metric_id, int granularity, double *data,
                                  int num_graphs, int, int total_elements) {
  return guarded("tsdb_insert_bulk_metric_by_id", -1, nullptr, [&] {
    return insert_by_id(metric_id, granularity, data, num_graphs, total_elements);
  });
}

int tsdb_migration_increment_sample_ex(int granularity) {
  return guarded("tsdb_migration_increment_sample_ex", -1, nullptr,
                 [&] { return increment_sample(granularity); });
}

unsigned char tsdb_delete_metric_by_id(void *metric_id, char *err_msg) {
  return guarded("tsdb_delete_metric_by_id", (unsigned char)0xFF, err_msg,
                 [&] { return delete_metric(metric_id, err_msg); });
}

void tsdb_free_metric_id_buffer(void *metric_id) { std::free(metric_id); }

int tsdb_exit_migration(long end_time_sec) {
  int rc = guarded("tsdb_exit_migration", -1, nullptr,
                   [&] { return exit_migration(end_time_sec); });
  g_migration.reset();  // after an exception too: rolls back what it had written
  return rc;
}
