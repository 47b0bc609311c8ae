/*
 * store_checks.cpp - check_of(), the row check of every table, and the
 * per-series facts (store_checks.h).
 */
#include "store_checks.h"

#include <xxhash.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "orvtsdb_data_roles.h"

namespace orvtsdb {

namespace {

void le_at(char *p, uint64_t x) {
  for (int i = 0; i < 8; i++) p[i] = (char)(uint8_t)(x >> (8 * i));
}

/* The hash of the bytes of a row's values, fed piece by piece: no value is
 * copied, so a check of values of any size takes no memory of its own (the
 * same hash as of the bytes laid end to end). */
class CheckHash {
 public:
  CheckHash() : state_(XXH3_createState(), XXH3_freeState) { reset(); }
  bool ready() const { return state_ != nullptr; }
  void reset() {
    if (state_) XXH3_64bits_reset(state_.get());
  }
  void add(const void *p, size_t n) { XXH3_64bits_update(state_.get(), p, n); }
  void add_byte(int b) {
    char c = (char)b;
    add(&c, 1);
  }
  void add_le(uint64_t x) {
    char le[8];
    le_at(le, x);
    add(le, 8);
  }
  int64_t value() const { return (int64_t)XXH3_64bits_digest(state_.get()); }

 private:
  std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t *)> state_;
};

/* One SQL value in the bytes hashed: a type byte, then an integer's or a
 * double's 8 bytes, or a text's or blob's length (8 bytes) and bytes. The
 * type byte keeps NULL, 0 and '' apart. */
void feed_bytes(CheckHash &out, int type, const void *p, int n) {
  out.add_byte(type);
  out.add_le((uint64_t)n);
  if (n > 0) out.add(p, (size_t)n);
}

/* false when SQLite could not give a text's or blob's bytes (out of
 * memory). */
bool feed(CheckHash &out, sqlite3_value *v) {
  int type = sqlite3_value_type(v);
  switch (type) {
    case SQLITE_INTEGER:
      out.add_byte(SQLITE_INTEGER);
      out.add_le((uint64_t)sqlite3_value_int64(v));
      return true;
    case SQLITE_FLOAT: {
      double d = sqlite3_value_double(v);
      uint64_t bits;
      std::memcpy(&bits, &d, 8);
      out.add_byte(SQLITE_FLOAT);
      out.add_le(bits);
      return true;
    }
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
      // The bytes first, then their count: SQLite's order for a value.
      const void *p = type == SQLITE_TEXT ? (const void *)sqlite3_value_text(v)
                                          : sqlite3_value_blob(v);
      int n = sqlite3_value_bytes(v);
      if (!p && n > 0) return false;
      feed_bytes(out, type, p, n);
      return true;
    }
    default: out.add_byte(type); return true;
  }
}

/* Called by SQLite: nothing may be thrown through it. */
void check_of(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
  // Called for every row a reader lists: the state is kept, not made anew.
  thread_local CheckHash hash;
  if (!hash.ready()) return sqlite3_result_error_nomem(ctx);
  hash.reset();
  for (int i = 0; i < argc; i++)
    if (!feed(hash, argv[i])) return sqlite3_result_error_nomem(ctx);
  sqlite3_result_int64(ctx, hash.value());
}

}  // namespace

int64_t chunk_row_check(int64_t sid, int64_t graph, int64_t data_type, int64_t start_time,
                        int64_t step, int64_t count, int64_t end_time, int64_t migration) {
  // Called for every chunk inserted and every chunk row a reader lists: the
  // bytes feed() would make, laid out in place.
  static const char table[] = "chunks";
  constexpr size_t kName = sizeof table - 1;
  char bytes[1 + 8 + kName + 8 * 9];
  bytes[0] = (char)SQLITE_TEXT;
  le_at(bytes + 1, kName);
  std::memcpy(bytes + 9, table, kName);
  char *p = bytes + 9 + kName;
  for (int64_t x : {sid, graph, data_type, start_time, step, count, end_time, migration}) {
    *p++ = (char)SQLITE_INTEGER;
    le_at(p, (uint64_t)x);
    p += 8;
  }
  return (int64_t)XXH3_64bits(bytes, sizeof bytes);
}

bool chunk_row_checks_out(sqlite3_stmt *s, int first, bool *readable, std::string &err) {
  *readable = true;
  constexpr int kColumns = 8;
  int64_t v[kColumns];
  bool integers = true;
  for (int i = 0; i < kColumns; i++) {
    integers = integers && sqlite3_column_type(s, first + i) == SQLITE_INTEGER;
    v[i] = sqlite3_column_int64(s, first + i);
  }
  // A text, a blob or NULL never equals the integer a check is.
  int type = sqlite3_column_type(s, first + kColumns);
  if (type != SQLITE_INTEGER && type != SQLITE_FLOAT) return false;
  int64_t check = 0;
  if (integers) {
    check = chunk_row_check(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
  } else {
    // A column of another type (a damaged row) is hashed as check_of hashes it.
    CheckHash hash;
    static const char table[] = "chunks";
    bool fed = hash.ready();
    if (fed) feed_bytes(hash, SQLITE_TEXT, table, (int)sizeof table - 1);
    for (int i = 0; fed && i < kColumns; i++) fed = feed(hash, sqlite3_column_value(s, first + i));
    if (!fed) {
      err = "out of memory";
      *readable = false;
      return false;
    }
    check = hash.value();
  }
  if (type == SQLITE_INTEGER) return sqlite3_column_int64(s, first + kColumns) == check;
  // A real (SQLite stores a whole one as an integer, so only a damaged
  // record holds one) equals the check as SQLite compares them: exactly.
  double d = sqlite3_column_double(s, first + kColumns);
  return d >= -0x1p63 && d < 0x1p63 && d == std::trunc(d) && (int64_t)d == check;
}

bool register_check_function(sqlite3 *db, std::string &err) {
  // DIRECTONLY: a view or trigger in a damaged file cannot call it.
  if (sqlite3_create_function(db, "check_of", -1,
                              SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY, nullptr,
                              check_of, nullptr, nullptr) == SQLITE_OK)
    return true;
  err = sqlite3_errmsg(db);
  return false;
}

const std::vector<CheckedTable> &checked_tables() {
  static const std::vector<CheckedTable> tables = {
      {"store_info", "'store_info ' || key", {"key", "value"}, 4},
      {"runs", "'run #' || id", {"id", "run"}, 4},
      {"run_labels", "'label of run #' || run || ' ' || tag", {"run", "tag", "value"}, 4},
      {"migrations",
       "'migration #' || id",
       {"id", "run", "run_dir", "start_time", "end_time", "first_sample", "last_sample", "inserts",
        "value_count", "started_at", "finished_at", "stored_samples"}},
      {"groups",
       "'group ' || gid",
       {"gid", "name", "description", "metric", "hierarchy", "type", "report_id", "num_graphs",
        "delay"}},
      {"graphs",
       "'graph ' || gid || '/' || idx",
       {"gid", "idx", "name", "description", "data_type", "formula", "state", "report_id"}},
      {"series", "'series ' || sid", {"sid", {"run", 4}, "gid", "labels", "created", "ended"}},
      {"series_labels", "'label ' || sid || '/' || pos", {"sid", "pos", "tag", "value"}},
      {"kept_series",
       "'kept series ' || migration || '/' || from_migration || '/' || sid",
       {"migration", "from_migration", "sid", "reason"}},
      {"chunks",
       "'chunk ' || rowid",
       {"sid", "graph", "data_type", "start_time", "step", "count", "end_time", "migration"}},
      {"series_facts",
       "'facts of series ' || sid || ', graph ' || graph",
       {"sid", "graph", "chunks", "first_time", "last_time", "samples", "value_count", "rows_sum"}},
      {"run_summaries",
       "'summary of run #' || run || ' ' || series || ' [' || metric || ']'",
       {"run", "series", "metric", "value", "weight", "batches"},
       4},
  };
  return tables;
}

std::string CheckedTable::check(const std::string &prefix, int format) const {
  std::string sql = std::string("check_of('") + name + "'";
  for (const CheckedColumn &c : columns)
    if (format == 0 || c.since <= format) sql += ", " + prefix + c.name;
  return sql + ")";
}

const CheckedTable *checked_table(const std::string &table) {
  for (const CheckedTable &t : checked_tables())
    if (table == t.name) return &t;
  return nullptr;
}

std::string row_check_sql(const std::string &table, const std::string &prefix) {
  const CheckedTable *t = checked_table(table);
  return t ? t->check(prefix) : "";
}

std::string row_check_update(const std::string &table, const std::string &where) {
  return "UPDATE " + table + " SET row_check = " + row_check_sql(table) + " WHERE " + where;
}

void SeriesFacts::add(int64_t start, int64_t end, int64_t count, int data_type, int64_t row_check) {
  if (chunks == 0 || start < first) first = start;
  if (chunks == 0 || end > last) last = end;
  chunks++;
  samples += count;
  values += count * orv_role_count(data_type);
  rows_sum += (uint64_t)row_check;
}

std::string SeriesFacts::differences(const SeriesFacts &s) const {
  auto one = [](const char *what, int64_t found, int64_t stored) {
    return found == stored ? std::string()
                           : std::string(what) + " " + std::to_string(found) + " (recorded " +
                                 std::to_string(stored) + ") ";
  };
  std::string d = one("chunks", chunks, s.chunks) + one("samples", samples, s.samples) +
                  one("values", values, s.values) + one("first time", first, s.first) +
                  one("last time", last, s.last);
  if (d.empty() && rows_sum != s.rows_sum) d = "a chunk row's fields changed ";
  if (!d.empty()) d.pop_back();
  return d;
}

bool FactsKeeper::prepare(sqlite3 *db, std::string &err) {
  db_ = db;
  // Rows of migration ?3 are not hashed again: the connection that asks
  // wrote them in its open transaction.
  std::string rows =
      "SELECT graph, data_type, start_time, end_time, count, row_check, "
      "CASE WHEN migration = ?3 THEN 1 ELSE row_check IS " +
      row_check_sql("chunks") +
      " END FROM chunks WHERE sid = ?1 AND migration IS NOT ?2 "
      "ORDER BY graph, start_time";
  std::string facts =
      "SELECT graph, chunks, first_time, last_time, samples, value_count, "
      "rows_sum, row_check IS " +
      row_check_sql("series_facts") + " FROM series_facts WHERE sid = ?1";
  return rows_.prepare(db, rows.c_str(), err) && facts_.prepare(db, facts.c_str(), err) &&
         del_.prepare(db, "DELETE FROM series_facts WHERE sid = ?1", err) &&
         ins_.prepare(db,
                      "INSERT INTO series_facts VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, "
                      "check_of('series_facts', ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8))",
                      err);
}

namespace {

/* Steps s through its rows, calling fn on each; false on an SQLite error
 * or when fn says so (err set by either). */
template <class Fn>
bool each_row(sqlite3 *db, Stmt &s, std::string &err, Fn fn) {
  int rc;
  bool ok = true;
  while (ok && (rc = s.step()) == SQLITE_ROW) ok = fn();
  if (ok && rc != SQLITE_DONE) {
    err = sqlite3_errmsg(db);
    ok = false;
  }
  s.reset();
  return ok;
}

}  // namespace

bool FactsKeeper::gather(int64_t sid, int64_t skip, FactsOfSeries &out, std::string &err,
                         int64_t written) {
  out.clear();
  rows_.bind(1, sid);
  if (skip >= 0) rows_.bind(2, skip);
  if (written >= 0) rows_.bind(3, written);
  return each_row(db_, rows_, err, [&] {
    if (rows_.col_int(6) == 0) {
      err = "chunk row of series " + std::to_string(sid) + ", graph " +
            std::to_string(rows_.col_int(0)) + " at " + std::to_string(rows_.col_int(2)) +
            " does not match its check";
      return false;
    }
    out[(int)rows_.col_int(0)].add(rows_.col_int(2), rows_.col_int(3), rows_.col_int(4),
                                   (int)rows_.col_int(1), rows_.col_int(5));
    return true;
  });
}

bool FactsKeeper::recorded(int64_t sid, FactsOfSeries &out, std::string &err) {
  out.clear();
  facts_.bind(1, sid);
  return each_row(db_, facts_, err, [&] {
    if (facts_.col_int(7) == 0) {
      err = "recorded facts of series " + std::to_string(sid) + ", graph " +
            std::to_string(facts_.col_int(0)) + " do not match their check";
      return false;
    }
    SeriesFacts &f = out[(int)facts_.col_int(0)];
    f.chunks = facts_.col_int(1);
    f.first = facts_.col_int(2);
    f.last = facts_.col_int(3);
    f.samples = facts_.col_int(4);
    f.values = facts_.col_int(5);
    f.rows_sum = (uint64_t)facts_.col_int(6);
    return true;
  });
}

bool FactsKeeper::write(int64_t sid, const FactsOfSeries &facts, std::string &err) {
  del_.bind(1, sid);
  if (!each_row(db_, del_, err, [] { return true; })) return false;
  for (const auto &[graph, f] : facts) {
    ins_.bind(1, sid);
    ins_.bind(2, (int64_t)graph);
    ins_.bind(3, f.chunks);
    ins_.bind(4, f.first);
    ins_.bind(5, f.last);
    ins_.bind(6, f.samples);
    ins_.bind(7, f.values);
    ins_.bind(8, (int64_t)f.rows_sum);
    if (!each_row(db_, ins_, err, [] { return true; })) return false;
  }
  return true;
}

bool FactsKeeper::refresh(int64_t sid, int64_t written, std::string &err) {
  FactsOfSeries f;
  return gather(sid, -1, f, err, written) && write(sid, f, err);
}

bool FactsKeeper::compare(int64_t sid, int64_t skip, std::string *differs, std::string &err) {
  FactsOfSeries found, stored;
  if (!gather(sid, skip, found, err) || !recorded(sid, stored, err)) return false;
  differs->clear();
  for (const auto &[graph, f] : stored)
    if (!found.count(graph)) found[graph];  // a graph whose rows all went
  for (const auto &[graph, f] : found) {
    auto it = stored.find(graph);
    std::string d = f.differences(it == stored.end() ? SeriesFacts{} : it->second);
    if (!d.empty()) {
      *differs = "graph " + std::to_string(graph) + ": " + d;
      return true;
    }
  }
  return true;
}

std::string labels_text(const std::vector<std::pair<std::string, std::string>> &tags) {
  auto append_escaped = [](std::string &out, const std::string &s) {
    for (char c : s) {
      if (c == '\\' || c == '=' || c == ',') out += '\\';
      out += c;
    }
  };
  std::string key;
  for (const auto &[tag, value] : tags) {
    if (!key.empty()) key += ',';
    append_escaped(key, tag);
    key += '=';
    append_escaped(key, value);
  }
  return key;
}

}  // namespace orvtsdb
