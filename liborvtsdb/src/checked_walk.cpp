/*
 * checked_walk.cpp - a series' chunk rows held against its facts, then
 * decoded (checked_walk.h).
 */
#include "checked_walk.h"

#include "store_schema.h"

namespace orvtsdb {

CheckedWalk::CheckedWalk(sqlite3 *db, std::string schema) : db_(db), schema_(std::move(schema)) {
  const char *file = sqlite3_db_filename(db, schema_.c_str());
  store_ = file && *file ? file : schema_ == "main" ? "the store" : schema_;
}

std::string CheckedWalk::table(const char *name) const {
  return quoted_identifier(schema_) + "." + name;
}

bool CheckedWalk::prepare(std::string &err) {
  std::string facts =
      "SELECT chunks, first_time, last_time, samples, value_count, rows_sum, "
      "row_check IS " +
      row_check_sql("series_facts") + " FROM " + table("series_facts") +
      " WHERE sid = ?1 AND graph = ?2";
  // The columns a row's check covers, then the check (chunk_row_checks_out).
  // A blob is read only when its chunk is in the range. The rows come in the
  // order of their index, never through a sorter that would copy every blob.
  std::string rows =
      "SELECT sid, graph, data_type, start_time, step, count, end_time, migration, row_check, "
      "CASE WHEN end_time >= ?3 AND start_time <= ?4 THEN data END FROM " +
      table("chunks") + " WHERE sid = ?1 AND graph = ?2 ORDER BY start_time";
  return facts_stmt_.prepare(db_, facts.c_str(), err) && rows_stmt_.prepare(db_, rows.c_str(), err);
}

std::string CheckedWalk::place(int64_t sid, int graph) const {
  Stmt s;
  std::string err, place = "series " + std::to_string(sid);
  std::string sql = "SELECT g.name, se.labels, (SELECT name FROM " + table("graphs") +
                    " WHERE gid = g.gid AND idx = ?2) FROM " + table("series") + " se JOIN " +
                    table("groups") + " g ON g.gid = se.gid WHERE se.sid = ?1";
  if (s.prepare(db_, sql.c_str(), err)) {
    s.bind(1, sid);
    s.bind(2, (int64_t)graph);
    if (s.step() == SQLITE_ROW)
      return place + " (group '" + s.col_text(0) + "', " + s.col_text(1) + "), graph " +
             std::to_string(graph) + " '" + s.col_text(2) + "'";
  }
  return place + ", graph " + std::to_string(graph);
}

/* SQLite could not give the rows (a malformed page, memory): err, SQLite's
 * reason, names the store. */
bool CheckedWalk::unread(std::string &err) const {
  err = store_ + ": " + err;
  return false;
}

bool CheckedWalk::damage(int64_t first, int64_t last, const std::string &why,
                         std::string &err) const {
  err = store_ + ": damaged store: " + place(sid_, graph_) + ", time " + std::to_string(first) +
        ".." + std::to_string(last) + ": " + why + " (orvtsdb verify lists the damage)";
  return false;
}

bool CheckedWalk::select(int64_t sid, int graph, int64_t from, int64_t to, std::string &err) {
  sid_ = sid;
  graph_ = graph;
  rows_.clear();
  next_row_ = 0;
  blobs_.clear();
  found_ = SeriesFacts();
  recorded_ = SeriesFacts();
  bool listed = read_facts(err) && list_rows(from, to, err);
  facts_stmt_.reset();
  rows_stmt_.reset();
  if (listed && hold_against_facts(err)) return true;
  rows_.clear();
  return false;
}

bool CheckedWalk::next(ChunkView &v, std::string &err) {
  err.clear();
  while (next_row_ < rows_.size() && !rows_[next_row_].in_range) next_row_++;
  if (next_row_ == rows_.size()) return false;
  const Row &r = rows_[next_row_++];
  if (!dec_.decode(chunk_seed(sid_, graph_, r.data_type, r.start, r.step),
                   blobs_.data() + r.blob_at, r.blob_len, err))
    return damage(r.start, r.end, err, err);
  if (dec_.count() != r.count)
    return damage(r.start, r.end,
                  "the row says " + std::to_string(r.count) + " samples, the chunk holds " +
                      std::to_string(dec_.count()),
                  err);
  v.sid = sid_;
  v.start = r.start;
  v.step = r.step;
  v.migration = r.migration;
  v.graph = graph_;
  v.data_type = r.data_type;
  v.count = dec_.count();
  v.roles = dec_.roles();
  v.values = dec_.values();
  return true;
}

bool CheckedWalk::run(int64_t sid, int graph, int64_t from, int64_t to,
                      const std::function<void(const ChunkView &)> &fn, std::string &err) {
  if (!select(sid, graph, from, to, err)) return false;
  ChunkView v;
  while (next(v, err)) fn(v);
  return err.empty();
}

/* The recorded facts of the series, when it has any, into recorded_. */
bool CheckedWalk::read_facts(std::string &err) {
  Stmt &s = facts_stmt_;
  s.bind(1, sid_);
  s.bind(2, (int64_t)graph_);
  if (!next_row(db_, s, err)) return err.empty() || unread(err);  // none recorded
  if (s.col_int(6) == 0)
    return damage(s.col_int(1), s.col_int(2), "its recorded facts do not match their check", err);
  recorded_ = {s.col_int(0), s.col_int(1), s.col_int(2),
               s.col_int(3), s.col_int(4), (uint64_t)s.col_int(5)};
  return true;
}

bool CheckedWalk::list_rows(int64_t from, int64_t to, std::string &err) {
  Stmt &s = rows_stmt_;
  s.bind(1, sid_);
  s.bind(2, (int64_t)graph_);
  s.bind(3, from);
  s.bind(4, to);
  int64_t prev_end = 0;
  while (next_row(db_, s, err)) {
    const char *b = static_cast<const char *>(s.col_blob(9));
    Row r{s.col_int(3),   s.col_int(4),      s.col_int(6),
          s.col_int(7),   (int)s.col_int(2), (int)s.col_int(5),
          !s.col_null(9), blobs_.size(),     b ? s.col_bytes(9) : 0};
    if (b) blobs_.append(b, r.blob_len);
    bool readable = true;
    if (!chunk_row_checks_out(s.get(), 0, &readable, err))
      return readable ? damage(r.start, r.end, "a chunk row does not match its check", err)
                      : unread(err);
    int64_t end = 0;
    if (s.col_int(5) != r.count || !chunk_end_time(r.start, r.step, r.count, &end) || r.end != end)
      return damage(r.start, r.end, "a chunk row's end time does not fit", err);
    if (!rows_.empty() && r.start <= prev_end)
      return damage(r.start, prev_end, "two chunk rows overlap", err);
    prev_end = r.end;
    found_.add(r.start, r.end, r.count, r.data_type, s.col_int(8));
    rows_.push_back(r);
  }
  return err.empty() || unread(err);
}

bool CheckedWalk::hold_against_facts(std::string &err) {
  std::string d = found_.differences(recorded_);
  if (d.empty()) return true;
  int64_t first = recorded_.chunks ? recorded_.first : found_.first;
  int64_t last = recorded_.chunks ? recorded_.last : found_.last;
  return damage(first, last, "its chunk rows do not agree with its recorded facts: " + d, err);
}

}  // namespace orvtsdb
