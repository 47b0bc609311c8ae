/*
 * sqlite_stmt.h - a prepared statement that finalizes itself, with the few
 * bind and column helpers the store uses. Not copyable.
 *
 * A bind that fails (out of memory) is remembered: the next step() returns
 * its error instead of running the statement with a NULL in its place.
 */
#ifndef ORVTSDB_SQLITE_STMT_H
#define ORVTSDB_SQLITE_STMT_H

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace orvtsdb {

class Stmt {
 public:
  Stmt() = default;
  ~Stmt() { sqlite3_finalize(s_); }
  Stmt(const Stmt &) = delete;
  Stmt &operator=(const Stmt &) = delete;

  /* Prepares `sql` on db; false with SQLite's reason in err. */
  bool prepare(sqlite3 *db, const char *sql, std::string &err) {
    sqlite3_finalize(s_);
    s_ = nullptr;
    bind_rc_ = SQLITE_OK;
    if (sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) == SQLITE_OK) return true;
    err = sqlite3_errmsg(db);
    return false;
  }
  sqlite3_stmt *get() const { return s_; }
  void reset() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
    bind_rc_ = SQLITE_OK;
  }
  void bind(int i, int64_t v) { note(sqlite3_bind_int64(s_, i, v)); }
  void bind(int i, const std::string &v) {
    note(sqlite3_bind_text(s_, i, v.data(), (int)v.size(), SQLITE_TRANSIENT));
  }
  void bind_null(int i) { note(sqlite3_bind_null(s_, i)); }
  void bind_blob(int i, const void *p, size_t n) {
    note(sqlite3_bind_blob64(s_, i, p, n, SQLITE_STATIC));
  }
  /* SQLITE_ROW, SQLITE_DONE or an error code (a failed bind's included). */
  int step() { return bind_rc_ == SQLITE_OK ? sqlite3_step(s_) : bind_rc_; }
  int64_t col_int(int i) const { return sqlite3_column_int64(s_, i); }
  bool col_null(int i) const { return sqlite3_column_type(s_, i) == SQLITE_NULL; }
  bool col_is_int(int i) const { return sqlite3_column_type(s_, i) == SQLITE_INTEGER; }
  std::string col_text(int i) const {
    const unsigned char *t = sqlite3_column_text(s_, i);
    return t ? std::string(reinterpret_cast<const char *>(t)) : std::string();
  }
  const void *col_blob(int i) const { return sqlite3_column_blob(s_, i); }
  size_t col_bytes(int i) const { return (size_t)sqlite3_column_bytes(s_, i); }

 private:
  void note(int rc) {
    if (rc != SQLITE_OK && bind_rc_ == SQLITE_OK) bind_rc_ = rc;
  }

  sqlite3_stmt *s_ = nullptr;
  int bind_rc_ = SQLITE_OK;
};

/* Steps s: true on a row; false at the end, or on an error (err set to
 * what SQLite says of db). */
inline bool next_row(sqlite3 *db, Stmt &s, std::string &err) {
  int rc = s.step();
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) err = sqlite3_errmsg(db);
  return false;
}

}  // namespace orvtsdb

#endif
