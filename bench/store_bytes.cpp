/*
 * store_bytes.cpp - what a store spends a value: the file, its chunk blobs,
 * and, as a yardstick, the same samples in a Gorilla XOR encoding.
 *
 *   store_bytes STORE   prints one line: values file_bytes chunk_bytes
 *                       gorilla_bytes chunks
 *
 * Values are the values the migrations inserted (missing ones included, as
 * the store keeps them). The yardstick encodes every series, graph and role
 * as one stream of its present samples in time order, the way Gorilla
 * compresses a time series: the first time and value whole, then each time
 * as a delta of delta and each value XORed with the previous one, leading
 * and trailing zero bits reused when they fit (bits counted, not written).
 */
#include <sqlite3.h>
#include <sys/stat.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <string>

#include "chunk_cursor.h"
#include "read_connection.h"

using namespace orvtsdb;

namespace {

/* Bits of one Gorilla stream, fed sample by sample. */
class GorillaBits {
 public:
  void add(int64_t t, double v) {
    uint64_t b;
    std::memcpy(&b, &v, 8);
    if (n_ == 0) {
      bits_ += 64 + 64;
    } else {
      int64_t delta = t - t1_;
      bits_ += n_ == 1 ? 14 : time_bits(delta - d1_);
      d1_ = delta;
      bits_ += value_bits(b ^ v1_);
    }
    t1_ = t;
    v1_ = b;
    n_++;
  }
  uint64_t bits() const { return bits_; }

 private:
  static int time_bits(int64_t dod) {
    if (dod == 0) return 1;
    if (dod >= -63 && dod <= 64) return 2 + 7;
    if (dod >= -255 && dod <= 256) return 3 + 9;
    if (dod >= -2047 && dod <= 2048) return 4 + 12;
    return 4 + 32;
  }
  int value_bits(uint64_t x) {
    if (x == 0) return 1;
    int lead = std::min(std::countl_zero(x), 31), trail = std::countr_zero(x);
    if (lead_ >= 0 && lead >= lead_ && trail >= trail_) return 2 + (64 - lead_ - trail_);
    lead_ = lead;
    trail_ = trail;
    return 2 + 5 + 6 + (64 - lead - trail);
  }

  uint64_t bits_ = 0;
  int64_t n_ = 0, t1_ = 0, d1_ = 0;
  uint64_t v1_ = 0;
  int lead_ = -1, trail_ = 0;
};

int64_t one_number(sqlite3 *db, const char *sql) {
  sqlite3_stmt *st = nullptr;
  int64_t v = -1;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
    v = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  return v;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: store_bytes STORE\n");
    return 2;
  }
  std::string open_err;
  sqlite3 *db = orvtsdb::open_for_reading(argv[1], open_err);
  if (!db) {
    std::fprintf(stderr, "store_bytes: %s\n", open_err.c_str());
    return 1;
  }
  struct stat st;
  if (stat(argv[1], &st) != 0) return 1;
  int64_t values = one_number(db, "SELECT sum(value_count) FROM migrations");
  int64_t chunk_bytes = one_number(db, "SELECT sum(length(data)) FROM chunks");
  int64_t chunks = one_number(db, "SELECT count(*) FROM chunks");
  ChunkCursor cur;
  std::string err;
  if (!cur.open(db, ChunkFilter(), err)) {
    std::fprintf(stderr, "store_bytes: %s\n", err.c_str());
    return 1;
  }
  // One stream per series, graph and role: the cursor gives their chunks in
  // time order, one stream's after the other.
  uint64_t bits = 0;
  int64_t sid = -1;
  int graph = -1;
  std::vector<GorillaBits> streams;
  while (cur.next(err)) {
    if (cur.sid() != sid || cur.graph() != graph) {
      for (const GorillaBits &g : streams) bits += g.bits();
      streams.assign(cur.roles(), GorillaBits());
      sid = cur.sid();
      graph = cur.graph();
    }
    for (int r = 0; r < cur.roles() && r < (int)streams.size(); r++)
      for (int i = 0; i < cur.count(); i++)
        if (!is_missing(cur.value(i, r))) streams[r].add(cur.time_of(i), cur.value(i, r));
  }
  if (!err.empty()) {
    std::fprintf(stderr, "store_bytes: %s\n", err.c_str());
    return 1;
  }
  for (const GorillaBits &g : streams) bits += g.bits();
  std::printf("%lld %lld %lld %llu %lld\n", (long long)values, (long long)st.st_size,
              (long long)chunk_bytes, (unsigned long long)((bits + 7) / 8), (long long)chunks);
  sqlite3_close(db);
  return 0;
}
