/*
 * sql.cpp - `orvtsdb sql`: runs SQL over the store (with the
 * `samples` table) and prints every statement's rows as CSV with a header,
 * as an aligned table (the default when standard output is a terminal), or as
 * JSON (one array of row objects per statement). Real numbers print in their
 * shortest exact form, NULL as an empty field (null in JSON), blobs in hex.
 * CSV and JSON are written as the rows come; the table waits for its widths
 * over its first ten thousand rows.
 *
 * The SQL runs under limits (store_reading.h): the functions a reader may
 * call, a time (--timeout, 60 s unless given), the longest value and the
 * memory. Each statement reads a snapshot of its own.
 */
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <thread>

#include "command_line.h"
#include "samples_scan.h"
#include "store_reading.h"
#include "text_table.h"
#include "value_text.h"

namespace orvtsdb_cli {

namespace {

struct Options {
  std::string store, sql, format;
  orvtsdb::UserSqlLimits limits;
};

std::string cell_text(sqlite3_stmt *s, int i) {
  switch (sqlite3_column_type(s, i)) {
    case SQLITE_NULL: return "";
    case SQLITE_INTEGER: return std::to_string(sqlite3_column_int64(s, i));
    case SQLITE_FLOAT: return number_text(sqlite3_column_double(s, i));
    case SQLITE_BLOB: {
      static const char hex[] = "0123456789abcdef";
      auto *p = static_cast<const unsigned char *>(sqlite3_column_blob(s, i));
      std::string out;
      for (int k = 0, n = sqlite3_column_bytes(s, i); k < n; k++)
        out += {hex[p[k] >> 4], hex[p[k] & 15]};
      return out;
    }
    default: {
      // every byte of the text, a NUL among them
      const char *t = reinterpret_cast<const char *>(sqlite3_column_text(s, i));
      return t ? std::string(t, sqlite3_column_bytes(s, i)) : std::string();
    }
  }
}

Json cell_json(sqlite3_stmt *s, int i) {
  switch (sqlite3_column_type(s, i)) {
    case SQLITE_NULL: return nullptr;
    case SQLITE_INTEGER: return sqlite3_column_int64(s, i);
    case SQLITE_FLOAT: return json_value(sqlite3_column_double(s, i));
    default: return cell_text(s, i);
  }
}

/* The CSV text of one column's cells, as cell_text and csv_field make it,
 * written in place; a text the column held in the row before is not made
 * again (the samples table repeats its names and labels on every row). */
class CsvColumn {
 public:
  /* Writes cell i of the row s is on at the end of out. */
  void write(sqlite3_stmt *s, int i, LineBuffer &out) {
    sqlite3_value *v = sqlite3_column_value(s, i);
    switch (sqlite3_value_type(v)) {
      case SQLITE_NULL: return;
      case SQLITE_INTEGER: out.advance(put_integer(out.room(20), sqlite3_value_int64(v))); return;
      case SQLITE_FLOAT:
        out.advance(put_number(out.room(kNumberRoom), sqlite3_value_double(v)));
        return;
      case SQLITE_TEXT: {
        // every byte of the text, as cell_text reads it
        const char *t = reinterpret_cast<const char *>(sqlite3_value_text(v));
        std::string_view raw(t ? t : "", t ? sqlite3_value_bytes(v) : 0);
        if (!has_last_ || raw != last_raw_) {
          last_raw_.assign(raw);
          last_field_ = csv_field(last_raw_);
          has_last_ = true;
        }
        out.append(last_field_);
        return;
      }
      default: out.append(cell_text(s, i));
    }
  }

 private:
  bool has_last_ = false;
  std::string last_raw_, last_field_;
};

/* A cell of a plain scan of `samples` as CSV, as cell_text and csv_field
 * make the same cell of SQLite's row. */
std::string scan_cell_text(const orvtsdb::SamplesCell &cell) {
  char text[kNumberRoom];
  switch (cell.kind) {
    case orvtsdb::SamplesCell::INTEGER: return {text, put_integer(text, cell.integer)};
    case orvtsdb::SamplesCell::REAL: return {text, put_number(text, cell.real)};
    case orvtsdb::SamplesCell::TEXT: return csv_field(std::string(cell.text, cell.length));
    default: return "";
  }
}

/* The CSV rows of a plain scan of `samples` after the row a step returned,
 * to the end of its chunk. The cells that stay the same along a chunk and
 * role (all but time, value and reading) are made into text once per
 * series, graph and role, as the text between the others with its commas;
 * the rest per row. */
class ScanRows {
 public:
  /* columns: the result's columns, as the table's (plain_samples_scan). */
  ScanRows(orvtsdb::SamplesScan *scan, std::vector<int> columns)
      : scan_(scan), columns_(std::move(columns)) {
    for (size_t i = 0; i < columns_.size(); i++)
      if (orvtsdb::samples_column_varies(columns_[i]) >= orvtsdb::SamplesVaries::SAMPLE)
        changing_.push_back(i);
  }

  void write_rest_of_chunk(LineBuffer &out) {
    while (orvtsdb::next_in_chunk(scan_)) {
      const Shape &shape = shape_of_row((size_t)orvtsdb::scan_role(scan_));
      // Room for the whole line: the changing cells (time, value and
      // reading) are numbers or NULL.
      char *p = out.room(shape.bytes + changing_.size() * kNumberRoom);
      p = put(p, shape.between[0]);
      const char *number = nullptr;  // value and reading are mostly the same
      size_t number_length = 0;
      uint64_t number_bits = 0;
      for (size_t j = 0; j < changing_.size(); j++) {
        orvtsdb::SamplesCell cell = orvtsdb::samples_cell(scan_, columns_[changing_[j]]);
        if (cell.kind == orvtsdb::SamplesCell::INTEGER) {
          p = put_integer(p, cell.integer);
        } else if (cell.kind == orvtsdb::SamplesCell::REAL) {
          uint64_t bits;
          std::memcpy(&bits, &cell.real, sizeof bits);
          if (number && bits == number_bits) {
            std::memmove(p, number, number_length);
            p += number_length;
          } else {
            char *end = put_number(p, cell.real);
            number = p;
            number_length = (size_t)(end - p);
            number_bits = bits;
            p = end;
          }
        }
        p = put(p, shape.between[j + 1]);
      }
      out.advance(p);
      out.line_done();
    }
  }

 private:
  struct Shape {
    uint64_t chunk = 0;  // the chunk it was made or checked for; 0: none
    // The cells it was made of, and the text before the first changing
    // cell, between each two, and after the last with the line's end.
    std::vector<orvtsdb::SamplesCell> cells;
    std::vector<std::string> between;
    size_t bytes = 0;  // of all of between
  };

  static char *put(char *p, const std::string &text) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
  }

  /* Whether two cells of the same column hold the same: the table's own
   * texts by their address, which is theirs alone; another text (none
   * that a plain scan returns) never, as it may be gone. */
  static bool same(const orvtsdb::SamplesCell &a, const orvtsdb::SamplesCell &b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
      case orvtsdb::SamplesCell::INTEGER: return a.integer == b.integer;
      case orvtsdb::SamplesCell::REAL: return std::memcmp(&a.real, &b.real, sizeof a.real) == 0;
      case orvtsdb::SamplesCell::TEXT:
        return a.lasting && b.lasting && a.text == b.text && a.length == b.length;
      default: return true;
    }
  }

  /* The shape of the row's role, made again when its cells differ from
   * those it was made of (the next series or graph); the chunks of one
   * series and graph share it. */
  const Shape &shape_of_row(size_t role) {
    uint64_t chunk = orvtsdb::scan_chunk_number(scan_);
    if (role >= shapes_.size()) shapes_.resize(role + 1);
    Shape &shape = shapes_[role];
    if (shape.chunk == chunk) return shape;
    std::vector<orvtsdb::SamplesCell> &cells = cells_;  // kept for its room
    cells.clear();
    for (size_t i = 0, j = 0; i < columns_.size(); i++) {
      if (j < changing_.size() && changing_[j] == i)
        j++;
      else
        cells.push_back(orvtsdb::samples_cell(scan_, columns_[i]));
    }
    bool made = shape.chunk && cells.size() == shape.cells.size();
    for (size_t k = 0; made && k < cells.size(); k++) made = same(cells[k], shape.cells[k]);
    shape.chunk = chunk;
    if (made) return shape;
    shape.between.assign(1, "");
    for (size_t i = 0, j = 0, k = 0; i < columns_.size(); i++) {
      if (i) shape.between.back() += ',';
      if (j < changing_.size() && changing_[j] == i) {
        shape.between.emplace_back();
        j++;
      } else {
        shape.between.back() += scan_cell_text(cells[k++]);
      }
    }
    shape.between.back() += '\n';
    shape.bytes = 0;
    for (const std::string &text : shape.between) shape.bytes += text.size();
    shape.cells = cells;
    return shape;
  }

  orvtsdb::SamplesScan *scan_;
  std::vector<int> columns_;
  std::vector<size_t> changing_;             // the result columns written per row
  std::vector<Shape> shapes_;                // by role
  std::vector<orvtsdb::SamplesCell> cells_;  // the cells of the row's shape
};

/* The rows of a statement as an aligned table: the header and the first
 * kWidthRows rows, or the rows of the first kWidthBytes, set the columns'
 * widths (in characters: UTF-8 counts by its characters), and are printed
 * once they are known; later rows are printed as they come, a wider cell
 * pushing the rest of its line out. So the table holds a bounded number of
 * rows and bytes, whatever the query returns. */
class TablePrinter {
 public:
  static constexpr size_t kWidthRows = 10000;
  static constexpr size_t kWidthBytes = 64 << 20;

  explicit TablePrinter(std::vector<std::string> header) { rows_.push_back(std::move(header)); }

  void add(std::vector<std::string> row) {
    if (rows_.empty()) return print(row);
    for (const std::string &cell : row) held_ += cell.size();
    rows_.push_back(std::move(row));
    if (rows_.size() > kWidthRows || held_ > kWidthBytes) finish();
  }

  /* Prints what is held; later rows print as they come. */
  void finish() {
    for (const auto &r : rows_)
      for (size_t i = 0; i < r.size(); i++) {
        width_.resize(std::max(width_.size(), i + 1));
        width_[i] = std::max(width_[i], shown_width(r[i]));
      }
    for (size_t k = 0; k < rows_.size(); k++) {
      print(rows_[k]);
      if (k == 0) {
        std::string rule;
        for (size_t i = 0; i < width_.size(); i++)
          rule += (i ? "-+-" : "") + std::string(width_[i], '-');
        std::printf("%s\n", rule.c_str());
      }
    }
    rows_.clear();
  }

 private:
  void print(const std::vector<std::string> &row) {
    std::string line;
    for (size_t i = 0; i < row.size(); i++) {
      size_t w = shown_width(row[i]);
      line += (i ? " | " : "") + row[i] +
              std::string(i < width_.size() && width_[i] > w ? width_[i] - w : 0, ' ');
    }
    line.erase(line.find_last_not_of(' ') + 1);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);  // a NUL in a cell included
  }

  size_t held_ = 0;  // bytes of the cells held
  std::vector<std::vector<std::string>> rows_;
  std::vector<size_t> width_;
};

/* The columns' names as keys of a JSON object: a name that came before (a
 * join's two `sid`) gets "_2", "_3", ... (a name not taken), so that no
 * column's value replaces another's. */
std::vector<std::string> unique_keys(const std::vector<std::string> &names) {
  std::set<std::string> taken(names.begin(), names.end());
  std::set<std::string> used;
  std::vector<std::string> keys;
  for (const std::string &name : names) {
    std::string key = name;
    for (int k = 2; used.count(key); k++) {
      key = name + "_" + std::to_string(k);
      if (taken.count(key)) key = name;  // the name of another column: next k
    }
    used.insert(key);
    keys.push_back(key);
  }
  return keys;
}

/* Steps one prepared statement to its end, printing as format asks; a
 * blank line first when `after_table` (the CSV and text tables of several
 * statements stay apart). Returns whether it printed a table. */
bool print_statement(sqlite3 *db, sqlite3_stmt *s, const Options &o, const std::string &format,
                     bool after_table) {
  int n = sqlite3_column_count(s);
  std::vector<std::string> names;
  for (int i = 0; i < n; i++) names.push_back(sqlite3_column_name(s, i));
  LineBuffer out;
  if (after_table && n && format != "json") out.append("\n");
  if (format == "csv" && n) {
    std::string header;
    for (int i = 0; i < n; i++) header += (i ? "," : "") + csv_field(names[i]);
    out.append(header + "\n");
  }
  if (format == "json") {
    out.append("[");
    names = unique_keys(names);
  }
  std::vector<CsvColumn> columns(format == "csv" ? n : 0);
  // A plain scan of `samples` in CSV: the rows after each one a step
  // returns, to the end of its chunk, are read from the table's cursor.
  std::optional<ScanRows> scan;
  std::optional<TablePrinter> table;
  if (format == "table" && n) table.emplace(names);
  int rc = sqlite3_step(s);
  // A migration killed since the last statement left its journal, which
  // this read-only connection cannot roll back: done aside, then read.
  for (int tries = 0; (rc & 0xff) == SQLITE_READONLY && tries < 3; tries++) {
    sqlite3_reset(s);
    std::string err;
    if (!orvtsdb::roll_back_left_journal(db, err)) die(EXIT_FAILURE_OTHER, "sql: " + err);
    rc = sqlite3_step(s);
  }
  for (bool first = true; rc == SQLITE_ROW; first = false, rc = sqlite3_step(s)) {
    if (format == "json") {
      Json r = Json::object();
      for (int i = 0; i < n; i++) r[names[i]] = cell_json(s, i);
      out.append((first ? "" : ",") + json_dump(r));
      out.line_done();
    } else if (format == "table") {
      std::vector<std::string> row;
      for (int i = 0; i < n; i++) row.push_back(cell_text(s, i));
      table->add(std::move(row));
    } else {
      for (int i = 0; i < n; i++) {
        if (i) out.append(",");
        columns[i].write(s, i, out);
      }
      out.append("\n");
      out.line_done();
      if (first && format == "csv") {
        std::vector<int> scanned;
        if (orvtsdb::SamplesScan *plain = orvtsdb::plain_samples_scan(db, s, scanned);
            plain && scanned.size() == (size_t)n)
          scan.emplace(plain, std::move(scanned));
      }
      if (scan) scan->write_rest_of_chunk(out);
    }
  }
  if (rc != SQLITE_DONE) {
    out.write_blocks();  // what was written by then, as the rows came
    if (table) table->finish();
    die(EXIT_FAILURE_OTHER, "sql: " + orvtsdb::user_sql_failure(db, rc, o.limits));
  }
  if (format == "json") out.append("]\n");
  out.flush();
  if (table) table->finish();
  return n > 0;
}

/* SQLite looks at the time between the steps of its machine, so one call
 * (a replace() or instr() over strings of megabytes, whose cost grows with
 * their square) can run long past --timeout. The watchdog ends the process
 * then, a second after the time, with the line the check would have given. */
class Watchdog {
 public:
  /* After limit_user_sql: watches the deadline it set. */
  explicit Watchdog(const orvtsdb::UserSqlLimits &limits)
      : line_("orvtsdb: sql: " + orvtsdb::stopped_text(limits) + "\n"),
        deadline_(orvtsdb::user_sql_deadline() + std::chrono::seconds(1)) {
    thread_ = std::thread([this] { watch(); });
  }
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    woken_.notify_one();
    thread_.join();
  }
  Watchdog(const Watchdog &) = delete;
  Watchdog &operator=(const Watchdog &) = delete;

 private:
  void watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (woken_.wait_until(lock, deadline_, [this] { return done_; })) return;
    std::fflush(stdout);  // best effort: the rows printed by then
    ssize_t ignored = ::write(STDERR_FILENO, line_.data(), line_.size());
    (void)ignored;
    _exit(EXIT_FAILURE_OTHER);
  }

  std::string line_;
  std::chrono::steady_clock::time_point deadline_;
  std::mutex mutex_;
  std::condition_variable woken_;
  bool done_ = false;
  std::thread thread_;
};

void run_sql(sqlite3 *db, const Options &o, const std::string &format) {
  std::string err;
  if (!orvtsdb::end_snapshot(db, err)) die(EXIT_FAILURE_OTHER, err);
  orvtsdb::limit_user_sql(db, o.limits);
  Watchdog watchdog(o.limits);
  const char *tail = o.sql.c_str();
  int tables = 0;
  while (*tail) {
    sqlite3_stmt *raw = nullptr;
    int rc = orvtsdb::prepare_reading_statement(db, tail, &raw, &tail, err);
    if (rc == SQLITE_AUTH) die(EXIT_USAGE, "sql: " + err);
    if (rc != SQLITE_OK)
      die(EXIT_FAILURE_OTHER, "sql: " + orvtsdb::user_sql_failure(db, rc, o.limits));
    if (!raw) continue;  // blank or comment
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> s(raw, sqlite3_finalize);
    if (print_statement(db, raw, o, format, tables > 0)) tables++;
  }
}

}  // namespace

void add_sql_command(CLI::App &app) {
  auto o = std::make_shared<Options>();
  CLI::App *cmd = add_store_command(
      app, "sql",
      "SQL over the store; the table `samples` (sid, group_name, graph_name, graph, role, time,\n"
      "value, labels, reading) decodes the stored chunks",
      o->store);
  cmd->add_option("query", o->sql, "SQL text (one or more statements)")->required();
  cmd->add_option("--format", o->format,
                  "csv, table or json (default: table on a terminal, else csv)")
      ->check(CLI::IsMember({"csv", "table", "json"}));
  cmd->add_option("--timeout", o->limits.timeout_s,
                  "seconds the SQL may run before it is stopped (exit 1)")
      ->check([](const std::string &t) {
        char *end = nullptr;
        double v = std::strtod(t.c_str(), &end);
        return !t.empty() && !*end && std::isfinite(v) && v > 0
                   ? std::string()
                   : "needs seconds above 0, such as 60 or 0.5, not '" + t + "'";
      })
      ->capture_default_str();
  cmd->callback([o] {
    Store st(o->store, false);
    run_sql(st.db(), *o, o->format.empty() ? (isatty(1) ? "table" : "csv") : o->format);
  });
}

}  // namespace orvtsdb_cli
