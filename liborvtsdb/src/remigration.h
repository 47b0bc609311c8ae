/*
 * remigration.h - what a migration of a run replaces of that run's earlier
 * migrations in the SQLite store.
 *
 * A migration migrates whole partitions, and its clock counts sequence
 * numbers, so a second reading of the same partitions may put their samples
 * at other times than the first (a file cut short, a damaged sequence
 * number). What it replaces is therefore the span of the partitions it
 * migrated, not the times it wrote: for every series and graph it writes,
 * every earlier sample of the run from its first partition's start to the
 * next partition's start, or to the end when it migrated the run's last
 * partition. The store sees partitions only through the calls:
 *
 *  - the span starts at the start time tsdb_init_migration gives (packet 0
 *    of the first partition migrated);
 *  - it ends at the start of the earliest earlier migration of the run that
 *    began after this one's last packet (tsdb_exit_migration's end time):
 *    that migration began at a partition this one did not reach; without
 *    one, it has no end (this migration reached the run's last partition);
 *  - but when an earlier migration that began no later than this one's last
 *    packet ended after it, that one read partitions this one may not have
 *    (a part of a run migrated again): the span ends where this migration
 *    ended, by its clock or its last packet's time, whichever is later
 *    (exclusive: a sample at that time is the next partition's first), and
 *    the earlier rows of the series it wrote that lie beyond are kept and
 *    told (a last file cut short leaves them too: the store cannot tell the
 *    two apart).
 *
 * The span always covers what the migration wrote, so a series never holds
 * two chunk rows of one time. Series and graphs it did not write keep their
 * samples (recorded in kept_series). The work is bounded by the chunk rows
 * replaced: rows are found by the chunks_by_series index per series and
 * graph, and at most one row at each end of a span is cut.
 */
#ifndef ORVTSDB_REMIGRATION_H
#define ORVTSDB_REMIGRATION_H

#include <sqlite3.h>

#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "sqlite_stmt.h"
#include "store_backend.h"

namespace orvtsdb {

/* The replaced span [from, to) of a migration (`to` is NO_END when open);
 * open_end: it ends where this migration ended, because an earlier one read
 * further and the next partition's start is not known. */
struct ReplacedSpan {
  static constexpr int64_t NO_END = std::numeric_limits<int64_t>::max();
  int64_t from = 0, to = NO_END;
  bool open_end = false;
};

/* The span a migration `r` replaces, given the start and end times of the
 * run's earlier migrations (see above). */
ReplacedSpan replaced_span(const Replacement &r,
                           const std::vector<std::pair<int64_t, int64_t>> &earlier);

class Remigration {
 public:
  /* On db inside the transaction of migration `migration` of the run
   * numbered `run` (runs.id). */
  Remigration(sqlite3 *db, int64_t migration, int64_t run)
      : db_(db), migration_(migration), run_(run) {}

  /* Removes what r replaces of the run's earlier migrations, cutting the
   * rows that reach over a span's ends; their stored_samples follow. The
   * series of the run whose earlier samples in the span stay are listed in
   * *kept. The caller has held the facts of every written series against
   * their rows. */
  bool replace(const Replacement &r, std::vector<KeptSeries> *kept, std::string &err);

  /* Chunk rows deleted or cut so far. */
  int64_t rows_replaced() const { return rows_replaced_; }

 private:
  bool prepare(std::string &err);
  bool earlier_migrations(const std::string &run, std::vector<std::pair<int64_t, int64_t>> *out,
                          std::string &err);
  bool replace_graph(int64_t sid, int graph, int64_t from, int64_t to, std::string &err);
  bool update_totals(std::string &err);
  bool find_kept(const Replacement &r, const ReplacedSpan &span, std::vector<KeptSeries> *kept,
                 std::string &err);
  bool find_kept_past_end(const Replacement &r, const ReplacedSpan &span,
                          std::vector<KeptSeries> *kept, std::string &err);
  bool record_kept(const std::vector<KeptSeries> &kept, std::string &err);
  bool fail(std::string &err);

  sqlite3 *db_;
  int64_t migration_, run_;
  int64_t rows_replaced_ = 0;
  Stmt before_, inside_, delete_, insert_;
  std::map<int64_t, int64_t> removed_;  // samples taken from each earlier migration
};

}  // namespace orvtsdb

#endif
