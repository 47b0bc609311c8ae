/*
 * remigration.cpp - the replacement of a run's earlier samples by the span
 * of the partitions a migration migrated (remigration.h).
 */
#include "remigration.h"

#include <algorithm>
#include <unordered_map>

#include "chunk_codec.h"
#include "store_checks.h"
#include "store_schema.h"

namespace orvtsdb {

namespace {

const char *kept_reason_text(KeptReason r) {
  switch (r) {
    case KeptReason::NOT_WRITTEN: return "not written by this migration";
    case KeptReason::GRAPHS_NOT_WRITTEN: return "some graphs not written by this migration";
    case KeptReason::PAST_END: return "samples after the last packet of this migration";
  }
  return "";
}

const char *const DAMAGED = "; the store is damaged (orvtsdb verify lists the damage)";

/* One chunk row of an earlier migration that a span reaches into. */
struct Row {
  int64_t rowid, start, step, end, migration;
  int data_type, count;
  std::string blob;  // only of a row to be cut
};

}  // namespace

bool Remigration::fail(std::string &err) {
  err = failure_text(db_);
  return false;
}

ReplacedSpan replaced_span(const Replacement &r,
                           const std::vector<std::pair<int64_t, int64_t>> &earlier) {
  ReplacedSpan span;
  span.from = r.start_time;
  int64_t next_start = ReplacedSpan::NO_END;
  bool read_further = false;
  for (const auto &[start, end] : earlier) {
    if (start > r.end_time) next_start = std::min(next_start, start);
    read_further = read_further || (start <= r.end_time && end > r.end_time);
  }
  span.to = next_start;
  if (read_further) {
    // The end time is the last packet's own time stamp, which may be that of
    // the next partition's first sample (the sample clock runs a step behind
    // it): that sample is not this migration's, so the span stops before it.
    span.to = std::min(next_start, std::max(r.end_time, r.last_sample + 1));
    span.open_end = true;
  }
  return span;
}

bool Remigration::prepare(std::string &err) {
  // ?4, ?5: the span [from, to). A blob is read only for a row to be cut.
  const char *row =
      "SELECT rowid, data_type, start_time, step, count, end_time, migration, "
      "CASE WHEN start_time < ?4 OR end_time >= ?5 THEN data END FROM chunks "
      "WHERE sid = ?1 AND graph = ?2 AND migration <> ?3 ";
  return before_.prepare(
             db_,
             (std::string(row) + "AND start_time < ?4 ORDER BY start_time DESC LIMIT 1").c_str(),
             err) &&
         inside_.prepare(
             db_, (std::string(row) + "AND start_time >= ?4 AND start_time < ?5").c_str(), err) &&
         delete_.prepare(db_, "DELETE FROM chunks WHERE rowid = ?1", err) &&
         insert_.prepare(db_, "INSERT INTO chunks VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10)", err);
}

bool Remigration::earlier_migrations(const std::string &run,
                                     std::vector<std::pair<int64_t, int64_t>> *out,
                                     std::string &err) {
  // Their totals change below: each is held against its check first.
  Stmt s;
  if (!s.prepare(db_,
                 ("SELECT id, start_time, end_time, row_check IS " + row_check_sql("migrations") +
                  " FROM migrations WHERE run = ?1 AND id <> ?2")
                     .c_str(),
                 err))
    return false;
  s.bind(1, run);
  s.bind(2, migration_);
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) {
    if (s.col_int(3) == 0) {
      err = "migration #" + std::to_string(s.col_int(0)) + " does not match its check" + DAMAGED;
      return false;
    }
    out->emplace_back(s.col_int(1), s.col_int(2));
  }
  return rc == SQLITE_DONE || fail(err);
}

/* Replaces the earlier rows of one series and graph in [from, to): rows
 * inside go, a row reaching over either end keeps its samples outside. */
bool Remigration::replace_graph(int64_t sid, int graph, int64_t from, int64_t to,
                                std::string &err) {
  std::vector<Row> rows;
  auto collect = [&](Stmt &s) {
    s.bind(1, sid);
    s.bind(2, (int64_t)graph);
    s.bind(3, migration_);
    s.bind(4, from);
    s.bind(5, to);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
      const char *b = static_cast<const char *>(s.col_blob(7));
      rows.push_back({s.col_int(0), s.col_int(2), s.col_int(3), s.col_int(5), s.col_int(6),
                      (int)s.col_int(1), (int)s.col_int(4),
                      b ? std::string(b, s.col_bytes(7)) : std::string()});
    }
    s.reset();
    return rc == SQLITE_DONE || fail(err);
  };
  // The row before the span counts only when it reaches into it.
  if (!collect(before_)) return false;
  if (!rows.empty() && rows.back().end < from) rows.pop_back();
  if (!collect(inside_)) return false;
  ChunkDecoder dec;
  ChunkEncoder enc;
  for (const Row &r : rows) {
    delete_.bind(1, r.rowid);
    if (delete_.step() != SQLITE_DONE) return fail(err);
    delete_.reset();
    rows_replaced_++;
    int kept = 0;
    if (r.start < from || r.end >= to) {
      // The rows were held against the facts before; the blob still has
      // to hold what the row says, for the cut below reads by the row.
      bool decoded = dec.decode(chunk_seed(sid, graph, r.data_type, r.start, r.step), r.blob.data(),
                                r.blob.size(), err);
      if (decoded && dec.count() != r.count) {
        err = "the row says " + std::to_string(r.count) + " samples, the chunk holds " +
              std::to_string(dec.count());
        decoded = false;
      }
      if (!decoded) {
        err = "chunk of series " + std::to_string(sid) + ", graph " + std::to_string(graph) +
              " at " + std::to_string(r.start) + " to be replaced: " + err + DAMAGED;
        return false;
      }
      auto keep = [&](int first, int n) {
        if (n <= 0) return true;
        int64_t start = r.start + first * r.step, end = start + (int64_t)(n - 1) * r.step;
        if (!enc.encode(chunk_seed(sid, graph, r.data_type, start, r.step), dec.values() + first, 1,
                        (size_t)dec.count(), dec.roles(), n, err))
          return false;
        insert_.bind(1, sid);
        insert_.bind(2, (int64_t)graph);
        insert_.bind(3, (int64_t)r.data_type);
        insert_.bind(4, start);
        insert_.bind(5, r.step);
        insert_.bind(6, (int64_t)n);
        insert_.bind(7, end);
        insert_.bind(8, r.migration);
        insert_.bind_blob(9, enc.data(), enc.size());
        insert_.bind(10,
                     chunk_row_check(sid, graph, r.data_type, start, r.step, n, end, r.migration));
        int rc = insert_.step();
        insert_.reset();
        kept += n;
        return rc == SQLITE_DONE || fail(err);
      };
      int before = 0, after = r.count;
      while (before < r.count && r.start + before * r.step < from) before++;
      while (after > before && r.start + (after - 1) * r.step >= to) after--;
      if (!keep(0, before) || !keep(after, r.count - after)) return false;
    }
    removed_[r.migration] += r.count - kept;
  }
  return true;
}

bool Remigration::update_totals(std::string &err) {
  Stmt s;
  if (!s.prepare(db_, "UPDATE migrations SET stored_samples = stored_samples - ?2 WHERE id = ?1",
                 err))
    return false;
  Stmt check;
  if (!check.prepare(db_, row_check_update("migrations", "id = ?1").c_str(), err)) return false;
  for (const auto &[id, samples] : removed_) {
    s.bind(1, id);
    s.bind(2, samples);
    check.bind(1, id);
    if (s.step() != SQLITE_DONE || check.step() != SQLITE_DONE) return fail(err);
    s.reset();
    check.reset();
  }
  return true;
}

bool Remigration::find_kept(const Replacement &r, const ReplacedSpan &span,
                            std::vector<KeptSeries> *kept, std::string &err) {
  std::unordered_map<int64_t, int> written;  // sid: graphs written
  for (const WrittenSeries &w : r.written) written[w.sid] = std::max(written[w.sid], w.graphs);
  // A series' facts say whether it may hold samples in the span; its rows
  // say which earlier migrations they are of.
  Stmt series, rows;
  if (!series.prepare(db_,
                      "SELECT s.sid FROM series s WHERE s.run = ?1 AND EXISTS (SELECT 1 FROM "
                      "series_facts f WHERE f.sid = s.sid AND f.first_time < ?3 AND "
                      "f.last_time >= ?2)",
                      err) ||
      !rows.prepare(db_,
                    "SELECT DISTINCT migration FROM chunks WHERE sid = ?1 AND graph >= ?2 AND "
                    "migration <> ?3 AND start_time < ?5 AND end_time >= ?4",
                    err))
    return false;
  series.bind(1, run_);
  series.bind(2, span.from);
  series.bind(3, span.to);
  int rc;
  while ((rc = series.step()) == SQLITE_ROW) {
    int64_t sid = series.col_int(0);
    auto w = written.find(sid);
    rows.bind(1, sid);
    rows.bind(2, (int64_t)(w == written.end() ? 0 : w->second));
    rows.bind(3, migration_);
    rows.bind(4, span.from);
    rows.bind(5, span.to);
    int rr;
    while ((rr = rows.step()) == SQLITE_ROW)
      kept->push_back(
          {rows.col_int(0), sid,
           w == written.end() ? KeptReason::NOT_WRITTEN : KeptReason::GRAPHS_NOT_WRITTEN});
    rows.reset();
    if (rr != SQLITE_DONE) return fail(err);
  }
  if (rc != SQLITE_DONE) return fail(err);
  if (span.open_end && !find_kept_past_end(r, span, kept, err)) return false;
  std::sort(kept->begin(), kept->end(), [](const KeptSeries &a, const KeptSeries &b) {
    return a.migration != b.migration ? a.migration < b.migration : a.sid < b.sid;
  });
  return true;
}

/* The series it wrote whose earlier rows lie past the span's end, when an
 * earlier migration read further than this one: said, never silent. */
bool Remigration::find_kept_past_end(const Replacement &r, const ReplacedSpan &span,
                                     std::vector<KeptSeries> *kept, std::string &err) {
  Stmt s;
  if (!s.prepare(db_,
                 "SELECT DISTINCT migration FROM chunks WHERE sid = ?1 AND graph < ?2 AND "
                 "migration <> ?3 AND start_time >= ?4",
                 err))
    return false;
  for (const WrittenSeries &w : r.written) {
    s.bind(1, w.sid);
    s.bind(2, (int64_t)w.graphs);
    s.bind(3, migration_);
    s.bind(4, std::max(span.to, w.last + 1));
    int rc;
    while ((rc = s.step()) == SQLITE_ROW)
      kept->push_back({s.col_int(0), w.sid, KeptReason::PAST_END});
    s.reset();
    if (rc != SQLITE_DONE) return fail(err);
  }
  return true;
}

bool Remigration::record_kept(const std::vector<KeptSeries> &kept, std::string &err) {
  if (kept.empty()) return true;
  Stmt s;
  if (!s.prepare(db_,
                 "INSERT INTO kept_series(migration,sid,from_migration,reason,row_check) "
                 "VALUES(?1,?2,?3,?4,check_of('kept_series',?1,?3,?2,?4))",
                 err))
    return false;
  for (const KeptSeries &k : kept) {
    s.bind(1, migration_);
    s.bind(2, k.sid);
    s.bind(3, k.migration);
    s.bind(4, std::string(kept_reason_text(k.reason)));
    if (s.step() != SQLITE_DONE) return fail(err);
    s.reset();
  }
  return true;
}

bool Remigration::replace(const Replacement &r, std::vector<KeptSeries> *kept, std::string &err) {
  std::vector<std::pair<int64_t, int64_t>> earlier;
  if (!earlier_migrations(r.run, &earlier, err)) return false;
  if (earlier.empty()) return true;  // the run's first migration into this store
  ReplacedSpan span = replaced_span(r, earlier);
  if (!prepare(err)) return false;
  for (const WrittenSeries &w : r.written) {
    // The span always holds what was written.
    int64_t from = std::min(span.from, w.first);
    int64_t to = span.to == ReplacedSpan::NO_END ? span.to : std::max(span.to, w.last + 1);
    for (int g = 0; g < w.graphs; g++)
      if (!replace_graph(w.sid, g, from, to, err)) return false;
  }
  return update_totals(err) && find_kept(r, span, kept, err) && record_kept(*kept, err);
}

}  // namespace orvtsdb
