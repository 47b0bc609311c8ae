/*
 * store_backend.h - the container behind the migration front.
 *
 * The front (migration.cpp) owns the clock, ids, series identity, element
 * roles and chunk building; a backend only keeps records: groups with their
 * graphs, series, finished chunks, and one migration as a unit of all or
 * nothing. SQLite is the embedded backend; another (a server) implements the
 * same calls. One backend object serves one migration from one thread.
 */
#ifndef ORVTSDB_STORE_BACKEND_H
#define ORVTSDB_STORE_BACKEND_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>
#include "run_labels.h"

#include "store_location.h"

namespace orvtsdb {

struct GroupRecord {
  std::string name, description, metric, hierarchy;
  int type = 0, report_id = 0, num_graphs = 0, delay = 0;
};

struct GraphRecord {
  std::string name, description;
  int data_type = 0, formula = 0, state = 0, report_id = 0;
};

using TagList = std::vector<std::pair<std::string, std::string>>;

/* One finished chunk; `blob` points into the caller's encoder. */
struct ChunkRecord {
  int64_t sid = 0;
  int graph = 0, data_type = 0;
  int64_t start_time = 0, step = 0;
  int count = 0;
  const void *blob = nullptr;
  size_t blob_len = 0;
};

/* What the migrations table keeps of a migration. */
struct MigrationRecord {
  std::string run;      // the run's identity key (run_identity.h)
  std::string run_dir;  // where the run was when migrated, for people
  int64_t start_time = 0, end_time = 0;
  int64_t first_sample = -1, last_sample = -1;  // -1: none written
  int64_t inserts = 0, values = 0;
  int64_t stored_samples = 0;  // sum of the counts of the chunks written
  Labels labels;               // given to the run (ORVTSDB_RUN_LABELS)
};

/* What a migration wrote of one series: graphs 0 .. graphs - 1 at clock
 * times from first to last. */
struct WrittenSeries {
  int64_t sid = 0;
  int graphs = 0;
  int64_t first = 0, last = 0;
};

/* What a migration migrated, for the replacement of its run's earlier
 * samples (remigration.h): the start time of its first partition
 * (tsdb_init_migration), the time stamp of its last packet
 * (tsdb_exit_migration), its clock's last sample time (-1: none written)
 * and what it wrote of each series. */
struct Replacement {
  std::string run;
  int64_t start_time = 0, end_time = 0, last_sample = -1;
  std::vector<WrittenSeries> written;
};

/* Why an earlier migration's samples of a series in the replaced span stay. */
enum class KeptReason { NOT_WRITTEN, GRAPHS_NOT_WRITTEN, PAST_END };

/* A series of an earlier migration of the run whose samples in the
 * replaced span were kept. */
struct KeptSeries {
  int64_t migration = 0, sid = 0;
  KeptReason reason = KeptReason::NOT_WRITTEN;
};

/* Every call returns true on success, false with a reason in err. After a
 * failure the migration can only be abandoned (abort()). */
struct StoreBackend {
  virtual ~StoreBackend() = default;
  /* Starts the migration's transaction; its id goes to *migration_id. */
  virtual bool begin(const MigrationRecord &m, int64_t *migration_id, std::string &err) = 0;
  /* Finds the group by name or creates it; stores the definitions and graphs. */
  virtual bool put_group(const GroupRecord &g, const std::vector<GraphRecord> &graphs, int *gid,
                         std::string &err) = 0;
  /* Finds the series of (gid, key) or creates it with its tags at time `now`;
   * either way the series is open (not ended) afterwards. */
  virtual bool put_series(int gid, const std::string &key, const TagList &tags, int64_t now,
                          int64_t *sid, std::string &err) = 0;
  /* Marks a series ended at `when`, or open again when `when` is -1. */
  virtual bool set_series_end(int64_t sid, int64_t when, std::string &err) = 0;
  virtual bool put_chunk(const ChunkRecord &c, std::string &err) = 0;
  /* Stores n chunks, in any order (a store of pages chooses the order that
   * fills them); false on the first that fails. */
  virtual bool put_chunks(const ChunkRecord *c, size_t n, std::string &err) {
    for (size_t i = 0; i < n; i++)
      if (!put_chunk(c[i], err)) return false;
    return true;
  }
  /* Removes what `r` replaces of the samples of earlier migrations of the
   * run: for every series and graph it wrote, the span of the partitions it
   * migrated (remigration.h); their stored_samples follow. The series whose
   * earlier samples in the span stay are recorded with this migration and
   * listed in *kept. */
  virtual bool replace_run_samples(const Replacement &r, std::vector<KeptSeries> *kept,
                                   std::string &err) = 0;
  /* Records the migration and makes everything visible in one commit. */
  virtual bool commit(const MigrationRecord &m, std::string &err) = 0;
  /* Abandons the migration; the store stays as before begin(). */
  virtual void abort() = 0;
};

/* Opens (creating when absent) the SQLite store at loc.path. Null with a
 * reason in err on failure. */
std::unique_ptr<StoreBackend> open_sqlite_backend(const StoreLocation &loc, std::string &err);

}  // namespace orvtsdb

#endif
