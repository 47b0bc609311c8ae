/*
 * samples_vtab.cpp - the `samples` virtual table over ChunkCursor, which
 * holds every series' chunk rows against its facts before it shows a sample.
 *
 * xBestIndex turns usable constraints into a ChunkFilter: bit 1 sid =, bit 2
 * group_name =, bit 4 graph_name =, bit 8 time >= / >, bit 16 time <= / <,
 * bit 32 store =; their values arrive in argv in that bit order. SQLite still
 * checks every constraint on the rows returned, so the filter only has to be
 * wide enough.
 *
 * The module is not eponymous on purpose: SQLite resolves an eponymous table
 * under any schema prefix, so r2.samples would read the main store. Instead
 * temp.samples exists, and the hidden column `store` names the schema read.
 *
 * `value` is the stored number; `reading` is the value as the readers present
 * it: NULL for every role but the count of an interval without events (its
 * stored avg, min and max are 0, not response times), so that avg(reading)
 * agrees with `report` and `compare`.
 */
#include "samples_vtab.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "chunk_cursor.h"
#include "interval_values.h"
#include "orvtsdb_data_roles.h"
#include "orvtsdb_data_types.h"
#include "samples_scan.h"
#include "store_checks.h"
#include "store_schema.h"

namespace orvtsdb {

namespace {

enum Column {
  COL_SID,
  COL_GROUP,
  COL_GRAPH_NAME,
  COL_GRAPH,
  COL_ROLE,
  COL_TIME,
  COL_VALUE,
  COL_LABELS,
  COL_READING,
  COL_STORE
};

struct Table {
  sqlite3_vtab base;  // must stay first
  sqlite3 *db;
  // The cursor whose scan began last, while it is open.
  SamplesScan *filtered = nullptr;
  // Every name and label text a cursor has shown, for the life of the
  // table: the cells point at them (SQLITE_STATIC), rather than SQLite
  // copying the same text into every row.
  std::unordered_set<std::string> texts;
  const std::string *kept(std::string text) { return &*texts.insert(std::move(text)).first; }
};

/* A text of Table::texts, or a role name: the texts a row shares with the
 * rows around it, measured once. */
struct KeptText {
  const char *data = "";
  int length = 0;
  // Whether the text has a NUL inside: SQLite is given the others as
  // NUL-terminated, since given a length it copies a text to end it
  // whenever the cell is read as text.
  bool nul_inside = false;
  KeptText() = default;
  explicit KeptText(const std::string *s)
      : data(s->data()),
        length((int)s->size()),
        nul_inside(std::memchr(s->data(), 0, s->size()) != nullptr) {}
  explicit KeptText(const char *s) : data(s), length((int)std::strlen(s)) {}
};

}  // namespace

struct SamplesScan {
  sqlite3_vtab_cursor base;  // must stay first
  ChunkCursor chunks;
  bool has_chunk = false;
  // What every row of the chunk shares, taken once per chunk.
  KeptText group, graph_name, labels;
  int data_type = 0;
  const orv_data_type_t *type = nullptr;
  int count_role = -1;  // count_role_of(data_type)
  KeptText role_names[ORV_MAX_ELEMENTS_PER_GRAPH];
  int sample = 0, role = 0;
  uint64_t chunk_number = 0;  // counts the chunks shown
  int64_t from = 0, to = 0;
  int64_t rowid = 0;
  std::string store = "main";  // schema read
};

namespace {

using Cursor = SamplesScan;

/* Every table of this module that is connected, so that a table named by a
 * statement's program can be told for one of them. */
std::mutex tables_mutex;
std::unordered_set<const void *> tables;

int connect(sqlite3 *db, void *, int, const char *const *, sqlite3_vtab **out, char **) {
  int rc = sqlite3_declare_vtab(
      db,
      "CREATE TABLE x(sid INTEGER, group_name TEXT, graph_name TEXT, graph INTEGER, "
      "role TEXT, time INTEGER, value REAL, labels TEXT, reading REAL, store HIDDEN)");
  if (rc != SQLITE_OK) return rc;
  Table *t = new (std::nothrow) Table{sqlite3_vtab{}, db, nullptr, {}};
  if (!t) return SQLITE_NOMEM;
  try {
    std::lock_guard<std::mutex> lock(tables_mutex);
    tables.insert(t);
  } catch (...) {
    delete t;
    return SQLITE_NOMEM;
  }
  *out = &t->base;
  return SQLITE_OK;
}

/* Creating (temp.samples) is connecting: the table keeps nothing of its own.
 * A function other than connect, so that the module is not eponymous. */
int create(sqlite3 *db, void *aux, int argc, const char *const *argv, sqlite3_vtab **out,
           char **err) {
  return connect(db, aux, argc, argv, out, err);
}

int disconnect(sqlite3_vtab *vt) {
  Table *t = reinterpret_cast<Table *>(vt);
  {
    std::lock_guard<std::mutex> lock(tables_mutex);
    tables.erase(t);
  }
  sqlite3_free(t->base.zErrMsg);
  delete t;
  return SQLITE_OK;
}

int destroy(sqlite3_vtab *vt) { return disconnect(vt); }

int constraint_bit(const sqlite3_index_info::sqlite3_index_constraint &c) {
  if (c.op == SQLITE_INDEX_CONSTRAINT_EQ && c.iColumn == COL_SID) return 1;
  if (c.op == SQLITE_INDEX_CONSTRAINT_EQ && c.iColumn == COL_GROUP) return 2;
  if (c.op == SQLITE_INDEX_CONSTRAINT_EQ && c.iColumn == COL_GRAPH_NAME) return 4;
  if (c.op == SQLITE_INDEX_CONSTRAINT_EQ && c.iColumn == COL_STORE) return 32;
  if (c.iColumn != COL_TIME) return 0;
  if (c.op == SQLITE_INDEX_CONSTRAINT_GE || c.op == SQLITE_INDEX_CONSTRAINT_GT) return 8;
  if (c.op == SQLITE_INDEX_CONSTRAINT_LE || c.op == SQLITE_INDEX_CONSTRAINT_LT) return 16;
  return 0;
}

/* Whether constraint i compares a name as the filter does, byte for byte: a
 * comparison under another collation (NOCASE, RTRIM) matches names the
 * filter would pass over, so it is left to SQLite alone. */
bool compares_bytes(sqlite3_index_info *info, int i) {
  int col = info->aConstraint[i].iColumn;
  if (col != COL_GROUP && col != COL_GRAPH_NAME) return true;
  const char *collation = sqlite3_vtab_collation(info, i);
  return !collation || sqlite3_stricmp(collation, "BINARY") == 0;
}

int best_index(sqlite3_vtab *, sqlite3_index_info *info) {
  int mask = 0;
  int slot_of_bit[64] = {};
  for (int i = 0; i < info->nConstraint; i++) {
    int bit = info->aConstraint[i].usable && compares_bytes(info, i)
                  ? constraint_bit(info->aConstraint[i])
                  : 0;
    if (bit && !(mask & bit)) {
      mask |= bit;
      slot_of_bit[bit] = i;
    }
  }
  int argv = 0;
  for (int bit = 1; bit <= 32; bit <<= 1)
    if (mask & bit) info->aConstraintUsage[slot_of_bit[bit]].argvIndex = ++argv;
  info->idxNum = mask;
  info->estimatedCost = 1e6 / (1 + argv * 10);
  return SQLITE_OK;
}

int open_cursor(sqlite3_vtab *, sqlite3_vtab_cursor **out) {
  Cursor *c = new (std::nothrow) Cursor();
  if (!c) return SQLITE_NOMEM;
  *out = &c->base;
  return SQLITE_OK;
}

int close_cursor(sqlite3_vtab_cursor *cur) {
  Table *t = reinterpret_cast<Table *>(cur->pVtab);
  if (t->filtered == reinterpret_cast<Cursor *>(cur)) t->filtered = nullptr;
  delete reinterpret_cast<Cursor *>(cur);
  return SQLITE_OK;
}

int fail(Cursor *c, const std::string &err) {
  sqlite3_free(c->base.pVtab->zErrMsg);
  c->base.pVtab->zErrMsg = sqlite3_mprintf("%s", err.c_str());
  return SQLITE_ERROR;
}

/* Moves to the next chunk that has a sample inside [from, to]. */
int next_chunk(Cursor *c) {
  std::string err;
  const ChunkCursor &k = c->chunks;
  // A chunk that overlaps the range may still hold no sample inside it
  // (its samples straddle `from`).
  do {
    c->has_chunk = c->chunks.next(err);
    if (!c->has_chunk) return err.empty() ? SQLITE_OK : fail(c, err);
    c->sample = 0;
    while (c->sample < k.count() && k.time_of(c->sample) < c->from) c->sample++;
  } while (c->sample == k.count() || k.time_of(c->sample) > c->to);
  if (k.data_type() != c->data_type || !c->type) {
    c->data_type = k.data_type();
    c->type = orv_data_type(c->data_type);
    for (int r = 0; r < ORV_MAX_ELEMENTS_PER_GRAPH; r++)
      c->role_names[r] = KeptText(orv_role_name(c->data_type, r));
  }
  // A chunk holds the roles of its type; were it to hold fewer, no count
  // beyond them is read.
  c->count_role = count_role_of(c->data_type);
  if (c->count_role >= k.roles()) c->count_role = -1;
  Table *t = reinterpret_cast<Table *>(c->base.pVtab);
  c->group = KeptText(t->kept(k.group_name()));
  c->graph_name = KeptText(t->kept(k.graph_name()));
  c->labels = KeptText(t->kept(k.labels()));
  c->role = 0;
  c->chunk_number++;
  return SQLITE_OK;
}

/* Moves to the next row of the chunk; false at its last row. */
bool step_in_chunk(Cursor *c) {
  if (c->role + 1 < c->chunks.roles()) {
    c->role++;
    return true;
  }
  if (c->sample + 1 < c->chunks.count() && c->chunks.time_of(c->sample + 1) <= c->to) {
    c->sample++;
    c->role = 0;
    return true;
  }
  return false;
}

int advance(Cursor *c) {
  c->rowid++;
  return step_in_chunk(c) ? SQLITE_OK : next_chunk(c);
}

/* A bound on sid or time as a whole number the filter can narrow by, when
 * SQLite compares it as a number (an integer, a real, or a text that reads
 * as one, as the columns' INTEGER affinity takes it): a real is rounded
 * outward (down for a lower bound, up for an upper one). None for what is
 * compared otherwise (a text that is no number, a blob: every integer is
 * less than them), which leaves the rows to SQLite's own comparison. */
std::optional<int64_t> whole_bound(sqlite3_value *v, bool lower) {
  switch (sqlite3_value_numeric_type(v)) {
    case SQLITE_INTEGER: return sqlite3_value_int64(v);
    case SQLITE_FLOAT: {
      double d = lower ? std::floor(sqlite3_value_double(v)) : std::ceil(sqlite3_value_double(v));
      if (d >= -9.2e18 && d <= 9.2e18) return (int64_t)d;
      return std::nullopt;
    }
    default: return std::nullopt;
  }
}

int filter(sqlite3_vtab_cursor *cur, int mask, const char *, int, sqlite3_value **argv) {
  Cursor *c = reinterpret_cast<Cursor *>(cur);
  ChunkFilter f;
  int a = 0;
  auto text = [&](int i) {
    const unsigned char *t = sqlite3_value_text(argv[i]);
    return t ? std::string(reinterpret_cast<const char *>(t)) : std::string();
  };
  if (mask & 1) f.sid = whole_bound(argv[a++], true).value_or(f.sid);
  if (mask & 2) f.group_name = text(a++);
  if (mask & 4) f.graph_name = text(a++);
  if (mask & 8) f.from = whole_bound(argv[a++], true).value_or(f.from);
  if (mask & 16) f.to = whole_bound(argv[a++], false).value_or(f.to);
  c->store = mask & 32 ? text(a++) : "main";
  c->from = f.from;
  c->to = f.to;
  std::string err;
  Table *t = reinterpret_cast<Table *>(cur->pVtab);
  t->filtered = c;
  if (!c->chunks.open(t->db, c->store, f, err)) return fail(c, err);
  return next_chunk(c);
}

int eof(sqlite3_vtab_cursor *cur) {
  Cursor *c = reinterpret_cast<Cursor *>(cur);
  return !c->has_chunk;
}

int next(sqlite3_vtab_cursor *cur) { return advance(reinterpret_cast<Cursor *>(cur)); }

SamplesCell text_cell(const KeptText &t) {
  SamplesCell cell;
  cell.kind = SamplesCell::TEXT;
  cell.text = t.data;
  cell.length = t.length;
  cell.lasting = true;
  cell.terminated = !t.nul_inside;
  return cell;
}

SamplesCell integer_cell(int64_t v) {
  SamplesCell cell;
  cell.kind = SamplesCell::INTEGER;
  cell.integer = v;
  return cell;
}

/* A value as SQLite holds it: a NaN is NULL. */
SamplesCell real_cell(double v) {
  SamplesCell cell;
  if (std::isnan(v)) return cell;
  cell.kind = SamplesCell::REAL;
  cell.real = v;
  return cell;
}

int column(sqlite3_vtab_cursor *cur, sqlite3_context *ctx, int col) {
  Cursor *c = reinterpret_cast<Cursor *>(cur);
  SamplesCell cell = samples_cell(c, col);
  switch (cell.kind) {
    case SamplesCell::NUL: sqlite3_result_null(ctx); break;
    case SamplesCell::INTEGER: sqlite3_result_int64(ctx, cell.integer); break;
    case SamplesCell::REAL: sqlite3_result_double(ctx, cell.real); break;
    case SamplesCell::TEXT:
      // The table's own texts are handed over as they are, others copied.
      if (cell.lasting)
        sqlite3_result_text(ctx, cell.text, cell.terminated ? -1 : cell.length, SQLITE_STATIC);
      else
        sqlite3_result_text(ctx, cell.text, cell.length, SQLITE_TRANSIENT);
      break;
  }
  return SQLITE_OK;
}

/* SQLite calls these from C: nothing may be thrown back at it. */
template <class F>
int guarded(F f) {
  try {
    return f();
  } catch (const std::bad_alloc &) {
    return SQLITE_NOMEM;
  } catch (...) {
    return SQLITE_ERROR;
  }
}

int guarded_filter(sqlite3_vtab_cursor *cur, int mask, const char *s, int n, sqlite3_value **argv) {
  return guarded([&] { return filter(cur, mask, s, n, argv); });
}

int guarded_next(sqlite3_vtab_cursor *cur) {
  return guarded([&] { return next(cur); });
}

int guarded_column(sqlite3_vtab_cursor *cur, sqlite3_context *ctx, int col) {
  return guarded([&] { return column(cur, ctx, col); });
}

int rowid(sqlite3_vtab_cursor *cur, sqlite3_int64 *out) {
  *out = reinterpret_cast<Cursor *>(cur)->rowid;
  return SQLITE_OK;
}

/* One instruction of a statement's program, as EXPLAIN lists it. */
struct Op {
  std::string opcode, p4;
  int64_t p1 = 0, p2 = 0, p3 = 0;
};

/* The program of statement s (compiled again from its text), or nothing
 * when it cannot be listed or is longer than a plain scan's. */
std::vector<Op> program_of(sqlite3 *db, sqlite3_stmt *s) {
  const char *sql = sqlite3_sql(s);
  Stmt e;
  std::string err;
  if (!sql || !e.prepare(db, (std::string("EXPLAIN ") + sql).c_str(), err)) return {};
  std::vector<Op> ops;
  int rc;
  while ((rc = e.step()) == SQLITE_ROW) {
    if (ops.size() == 64) return {};
    ops.push_back({e.col_text(1), e.col_text(5), e.col_int(2), e.col_int(3), e.col_int(4)});
  }
  if (rc != SQLITE_DONE) return {};
  return ops;
}

/* The table a VOpen's operand names ("vtab:" and its address in hex), when
 * it is one of this module's. */
Table *table_named(const std::string &p4) {
  if (p4.rfind("vtab:", 0) != 0 || p4.size() == 5) return nullptr;
  char *end = nullptr;
  unsigned long long address = std::strtoull(p4.c_str() + 5, &end, 16);
  if (*end) return nullptr;
  const void *named = reinterpret_cast<const void *>((uintptr_t)address);
  std::lock_guard<std::mutex> lock(tables_mutex);
  return tables.count(named) ? static_cast<Table *>(const_cast<void *>(named)) : nullptr;
}

}  // namespace

SamplesCell samples_cell(const SamplesScan *c, int col) {
  const ChunkCursor &k = c->chunks;
  switch (col) {
    case COL_SID: return integer_cell(k.sid());
    case COL_GROUP: return text_cell(c->group);
    case COL_GRAPH_NAME: return text_cell(c->graph_name);
    case COL_GRAPH: return integer_cell(k.graph());
    case COL_ROLE:
      return text_cell(c->role < ORV_MAX_ELEMENTS_PER_GRAPH
                           ? c->role_names[c->role]
                           : KeptText(orv_role_name(k.data_type(), c->role)));
    case COL_TIME: return integer_cell(k.time_of(c->sample));
    case COL_VALUE: {
      double v = k.value(c->sample, c->role);
      return is_missing(v) ? SamplesCell() : real_cell(v);
    }
    case COL_LABELS: return text_cell(c->labels);
    case COL_READING: {
      if (!c->type) return SamplesCell();
      double v = k.value(c->sample, c->role);
      double count = c->count_role >= 0 ? k.value(c->sample, c->count_role) : 0;
      return reads_as_absent(c->count_role, c->role, v, count) ? SamplesCell() : real_cell(v);
    }
    default: {
      SamplesCell cell;
      cell.kind = SamplesCell::TEXT;
      cell.text = c->store.data();
      cell.length = (int)c->store.size();
      return cell;
    }
  }
}

SamplesVaries samples_column_varies(int column) {
  switch (column) {
    case COL_ROLE: return SamplesVaries::ROLE;
    case COL_TIME: return SamplesVaries::SAMPLE;
    case COL_VALUE:
    case COL_READING: return SamplesVaries::ROW;
    default: return SamplesVaries::CHUNK;
  }
}

uint64_t scan_chunk_number(const SamplesScan *scan) { return scan->chunk_number; }

int scan_role(const SamplesScan *scan) { return scan->role; }

bool next_in_chunk(SamplesScan *scan) {
  if (!scan->has_chunk || !step_in_chunk(scan)) return false;
  scan->rowid++;
  return true;
}

/* A plain scan compiles to this program (SQLite 3.40 and later), where R
 * is a register, C the first of k consecutive ones and T the table:
 *
 *   0       Init         jump to the transactions
 *   1       VOpen        cursor, T
 *   2, 3    Integer      0 (no constraint) into R, 0 (no argument) into R+1
 *   4       VFilter      cursor, past the loop when empty, R
 *   5 ..    VColumn      cursor, a column of T, into C, C+1, ... (k of them)
 *           ResultRow    C, k
 *           VNext        cursor, back to 5
 *           Halt
 *           Transaction  one or more
 *           Goto         back to 1
 *
 * Anything else (a WHERE clause, ORDER BY, LIMIT, DISTINCT, a join, an
 * expression, another table or SQLite version compiling it otherwise) is
 * not a plain scan, and its rows come from SQLite's steps alone. */
SamplesScan *plain_samples_scan(sqlite3 *db, sqlite3_stmt *s, std::vector<int> &columns) {
  columns.clear();
  // Most statements are told apart by their columns, before their program.
  for (int i = 0, n = sqlite3_column_count(s); i < n; i++) {
    const char *table = sqlite3_column_table_name(s, i);
    const char *schema = sqlite3_column_database_name(s, i);
    if (!table || !schema || std::strcmp(table, "samples") != 0 || std::strcmp(schema, "temp") != 0)
      return nullptr;
  }
  std::vector<Op> ops = program_of(db, s);
  size_t n = ops.size();
  if (n < 11 || ops[0].opcode != "Init" || ops[1].opcode != "VOpen") return nullptr;
  int64_t cur = ops[1].p1, r = ops[2].p2;
  if (ops[2].opcode != "Integer" || ops[2].p1 != 0 || ops[3].opcode != "Integer" ||
      ops[3].p1 != 0 || ops[3].p2 != r + 1 || ops[4].opcode != "VFilter" || ops[4].p1 != cur ||
      ops[4].p3 != r)
    return nullptr;
  size_t i = 5;
  int64_t first = i < n ? ops[i].p3 : 0;
  for (; i < n && ops[i].opcode == "VColumn"; i++) {
    const Op &op = ops[i];
    if (op.p1 != cur || op.p2 < COL_SID || op.p2 > COL_READING ||
        op.p3 != first + (int64_t)columns.size())
      return nullptr;
    columns.push_back((int)op.p2);
  }
  size_t halt = i + 2;
  if (columns.empty() || halt + 2 >= n || ops[i].opcode != "ResultRow" || ops[i].p1 != first ||
      ops[i].p2 != (int64_t)columns.size() || ops[i + 1].opcode != "VNext" ||
      ops[i + 1].p1 != cur || ops[i + 1].p2 != 5 || ops[halt].opcode != "Halt" ||
      ops[4].p2 != (int64_t)halt || ops[0].p2 != (int64_t)halt + 1)
    return nullptr;
  for (i = halt + 1; i + 1 < n; i++)
    if (ops[i].opcode != "Transaction") return nullptr;
  if (ops[n - 1].opcode != "Goto" || ops[n - 1].p2 != 1) return nullptr;
  Table *t = table_named(ops[1].p4);
  if (!t || t->db != db || !t->filtered || t->filtered->base.pVtab != &t->base) return nullptr;
  return t->filtered;
}

int register_samples_table(sqlite3 *db) {
  std::string err;
  if (!register_check_function(db, err)) return sqlite3_errcode(db);
  static sqlite3_module module = {};
  module.xCreate = create;
  module.xConnect = connect;
  module.xDestroy = destroy;
  module.xBestIndex = best_index;
  module.xDisconnect = disconnect;
  module.xOpen = open_cursor;
  module.xClose = close_cursor;
  module.xFilter = guarded_filter;
  module.xNext = guarded_next;
  module.xEof = eof;
  module.xColumn = guarded_column;
  module.xRowid = rowid;
  int rc = sqlite3_create_module(db, "orvtsdb_samples", &module, nullptr);
  if (rc != SQLITE_OK) return rc;
  return sqlite3_exec(db, "CREATE VIRTUAL TABLE IF NOT EXISTS temp.samples USING orvtsdb_samples",
                      nullptr, nullptr, nullptr);
}

}  // namespace orvtsdb
