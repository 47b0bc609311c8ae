/*
 * run_labels.cpp - a run's name=value labels in the store.
 */
#include "run_labels.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "sqlite_stmt.h"
#include "store_checks.h"
#include "store_location.h"

namespace orvtsdb {

namespace {

bool fail(sqlite3 *db, std::string &err) {
  err = sqlite3_errmsg(db);
  return false;
}

bool valid_name(const std::string &name) {
  if (name.empty() || name.size() > kLabelNameMax ||
      !(std::isalpha((unsigned char)name[0]) || name[0] == '_'))
    return false;
  for (char c : name)
    if (!(std::isalnum((unsigned char)c) || c == '_' || c == '.' || c == '-')) return false;
  return true;
}

/* A value shows on one line of every report that names its run: no control
 * characters (a tab or a line break would cut the line), and short enough
 * to read there. */
bool valid_value(const std::string &value) {
  if (value.size() > kLabelValueMax) return false;
  for (size_t i = 0; i < value.size(); i++) {
    unsigned char c = value[i], next = i + 1 < value.size() ? value[i + 1] : 0;
    if (c < 0x20 || c == 0x7f) return false;
    // In UTF-8: the C1 controls U+0080..U+009F (NEL among them), and the
    // line and paragraph separators U+2028 and U+2029.
    if (c == 0xC2 && next >= 0x80 && next <= 0x9F) return false;
    if (c == 0xE2 && next == 0x80 && i + 2 < value.size() &&
        ((unsigned char)value[i + 2] == 0xA8 || (unsigned char)value[i + 2] == 0xA9))
      return false;
  }
  return true;
}

}  // namespace

bool parse_labels(const std::string &text, bool one, Labels &out, std::string &err) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = one ? text.size() : std::min(text.find(',', pos), text.size());
    std::string item = text.substr(pos, end - pos);
    size_t eq = item.find('=');
    std::string name = item.substr(0, eq);
    if (eq == std::string::npos || !valid_name(name)) {
      err = "'" + item + "' is not NAME=VALUE (a name is at most " + std::to_string(kLabelNameMax) +
            " letters, digits, _ . -, starting with a letter or _)";
      return false;
    }
    if (!valid_value(item.substr(eq + 1))) {
      err = "label " + name + ": a value is at most " + std::to_string(kLabelValueMax) +
            " bytes without control characters (tab, line break)";
      return false;
    }
    for (auto &[k, v] : out)
      if (k == name) {
        err = "label " + name + " is given twice";
        return false;
      }
    out.emplace_back(name, item.substr(eq + 1));
    pos = end + 1;
  }
  return true;
}

bool labels_from_environment(Labels &out, std::string &err) {
  out.clear();
  const char *text = std::getenv(kRunLabelsVariable);
  if (!text || !*text) return true;
  if (parse_labels(text, false, out, err)) return true;
  err = std::string(kRunLabelsVariable) + ": " + err;
  return false;
}

bool set_run_labels(sqlite3 *db, int64_t run, const Labels &labels, std::string &err) {
  Stmt put, check;
  if (!put.prepare(db, "INSERT OR REPLACE INTO run_labels(run, tag, value) VALUES(?1, ?2, ?3)",
                   err) ||
      !check.prepare(db, row_check_update("run_labels", "run = ?1 AND tag = ?2").c_str(), err))
    return false;
  for (const auto &[name, value] : labels) {
    put.reset();
    put.bind(1, run);
    put.bind(2, name);
    put.bind(3, value);
    if (put.step() != SQLITE_DONE) return fail(db, err);
    check.reset();
    check.bind(1, run);
    check.bind(2, name);
    if (check.step() != SQLITE_DONE) return fail(db, err);
  }
  return true;
}

bool label_run(const std::string &path, int64_t run, const Labels &labels, std::string &err) {
  int busy_ms = 0;
  if (!busy_timeout_from_env(&busy_ms, err)) return false;
  sqlite3 *db = nullptr;
  bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
  if (ok) {
    sqlite3_busy_timeout(db, busy_ms);
    ok = register_check_function(db, err) &&
         sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok && err.empty()) {
      err = sqlite3_errcode(db) == SQLITE_BUSY
                ? "another process holds the store's write lock (a migration?); waited " +
                      std::to_string(busy_ms) + " ms (ORVTSDB_BUSY_TIMEOUT_MS sets the wait)"
                : sqlite3_errmsg(db);
    }
    Stmt known;
    if (ok && known.prepare(db, "SELECT 1 FROM runs WHERE id = ?1", err)) {
      known.bind(1, run);
      int rc = known.step();
      if (rc == SQLITE_DONE)
        err = "the store has no run #" + std::to_string(run);
      else if (rc != SQLITE_ROW)
        err = sqlite3_errmsg(db);
    }
    ok = ok && err.empty() && set_run_labels(db, run, labels, err) &&
         sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok && err.empty()) err = sqlite3_errmsg(db);
  } else {
    err = db ? sqlite3_errmsg(db) : "out of memory";
  }
  if (!ok && db) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  if (db && sqlite3_close(db) != SQLITE_OK && ok) {
    err = "cannot close the store";
    ok = false;
  }
  return ok;
}

bool read_run_labels(sqlite3 *db, int64_t run, Labels &out, std::string &err) {
  out.clear();
  Stmt has;
  if (!has.prepare(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'run_labels'",
                   err))
    return false;
  if (has.step() != SQLITE_ROW) return true;
  Stmt s;
  if (!s.prepare(db,
                 ("SELECT tag, value, row_check IS " + row_check_sql("run_labels") +
                  " FROM run_labels WHERE run = ?1 ORDER BY tag")
                     .c_str(),
                 err))
    return false;
  s.bind(1, run);
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) {
    if (!s.col_int(2)) {
      err = "label of run #" + std::to_string(run) + " " + s.col_text(0) +
            " does not match its check; the store is damaged (orvtsdb verify lists the damage)";
      return false;
    }
    out.emplace_back(s.col_text(0), s.col_text(1));
  }
  if (rc != SQLITE_DONE) return fail(db, err);
  return true;
}

}  // namespace orvtsdb
