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
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <unordered_set>

#include "chunk_cursor.h"
#include "interval_values.h"
#include "orvtsdb_data_roles.h"
#include "orvtsdb_data_types.h"
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
  // Every name and label text a cursor has shown, for the life of the
  // table: the cells point at them (SQLITE_STATIC), rather than SQLite
  // copying the same text into every row.
  std::unordered_set<std::string> texts;
  const std::string *kept(std::string text) { return &*texts.insert(std::move(text)).first; }
};

/* A text of Table::texts as a cell gives it to SQLite. */
struct KeptText {
  const char *data = "";
  // -1 tells SQLite the text ends with its NUL: given a length, it copies
  // the text to end it whenever the cell is read as text. Only a text with
  // a NUL inside needs its length.
  int length = -1;
  KeptText() = default;
  explicit KeptText(const std::string *s)
      : data(s->data()), length(std::memchr(s->data(), 0, s->size()) ? (int)s->size() : -1) {}
};

struct Cursor {
  sqlite3_vtab_cursor base;  // must stay first
  ChunkCursor chunks;
  bool has_chunk = false;
  // What every row of the chunk shares, taken once per chunk.
  KeptText group, graph_name, labels;
  int data_type = 0;
  const orv_data_type_t *type = nullptr;
  const char *role_names[ORV_MAX_ELEMENTS_PER_GRAPH] = {};
  int sample = 0, role = 0;
  int64_t from = 0, to = 0;
  int64_t rowid = 0;
  std::string store = "main";  // schema read
};

int connect(sqlite3 *db, void *, int, const char *const *, sqlite3_vtab **out, char **) {
  int rc = sqlite3_declare_vtab(
      db,
      "CREATE TABLE x(sid INTEGER, group_name TEXT, graph_name TEXT, graph INTEGER, "
      "role TEXT, time INTEGER, value REAL, labels TEXT, reading REAL, store HIDDEN)");
  if (rc != SQLITE_OK) return rc;
  Table *t = new (std::nothrow) Table{sqlite3_vtab{}, db, {}};
  if (!t) return SQLITE_NOMEM;
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
      c->role_names[r] = orv_role_name(c->data_type, r);
  }
  Table *t = reinterpret_cast<Table *>(c->base.pVtab);
  c->group = KeptText(t->kept(k.group_name()));
  c->graph_name = KeptText(t->kept(k.graph_name()));
  c->labels = KeptText(t->kept(k.labels()));
  c->role = 0;
  return SQLITE_OK;
}

int advance(Cursor *c) {
  c->rowid++;
  if (++c->role < c->chunks.roles()) return SQLITE_OK;
  c->role = 0;
  if (++c->sample < c->chunks.count() && c->chunks.time_of(c->sample) <= c->to) return SQLITE_OK;
  return next_chunk(c);
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
  if (!c->chunks.open(t->db, c->store, f, err)) return fail(c, err);
  return next_chunk(c);
}

int eof(sqlite3_vtab_cursor *cur) {
  Cursor *c = reinterpret_cast<Cursor *>(cur);
  return !c->has_chunk;
}

int next(sqlite3_vtab_cursor *cur) { return advance(reinterpret_cast<Cursor *>(cur)); }

int column(sqlite3_vtab_cursor *cur, sqlite3_context *ctx, int col) {
  Cursor *c = reinterpret_cast<Cursor *>(cur);
  const ChunkCursor &k = c->chunks;
  auto text = [ctx](const std::string &s) {
    sqlite3_result_text(ctx, s.data(), (int)s.size(), SQLITE_TRANSIENT);
  };
  auto kept = [ctx](const KeptText &s) {
    sqlite3_result_text(ctx, s.data, s.length, SQLITE_STATIC);
  };
  double v;
  switch (col) {
    case COL_SID: sqlite3_result_int64(ctx, k.sid()); break;
    case COL_GROUP: kept(c->group); break;
    case COL_GRAPH_NAME: kept(c->graph_name); break;
    case COL_GRAPH: sqlite3_result_int(ctx, k.graph()); break;
    case COL_ROLE:
      sqlite3_result_text(ctx,
                          c->role < ORV_MAX_ELEMENTS_PER_GRAPH
                              ? c->role_names[c->role]
                              : orv_role_name(k.data_type(), c->role),
                          -1, SQLITE_STATIC);
      break;
    case COL_TIME: sqlite3_result_int64(ctx, k.time_of(c->sample)); break;
    case COL_VALUE:
      v = k.value(c->sample, c->role);
      if (is_missing(v))
        sqlite3_result_null(ctx);
      else
        sqlite3_result_double(ctx, v);
      break;
    case COL_LABELS: kept(c->labels); break;
    case COL_READING: {
      double sample[ORV_MAX_ELEMENTS_PER_GRAPH];
      const orv_data_type_t *d = c->type;
      for (int r = 0; d && r < d->elements; r++) sample[r] = k.value(c->sample, r);
      if (!d || reads_as_absent(k.data_type(), c->role, sample))
        sqlite3_result_null(ctx);
      else
        sqlite3_result_double(ctx, sample[c->role]);
      break;
    }
    default: text(c->store); break;
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

}  // namespace

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
