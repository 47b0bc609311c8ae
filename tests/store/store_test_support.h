/*
 * store_test_support.h - helpers for the store's tests: a temporary store
 * named by ORVTSDB_URL, group and graph records, and reading the stored
 * samples back through the `samples` table.
 */
#ifndef ORVTSDB_STORE_TEST_SUPPORT_H
#define ORVTSDB_STORE_TEST_SUPPORT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "orvtsdb.h"

namespace store_test {

/* A temporary directory whose store.sqlite is the store (ORVTSDB_URL);
 * ORVTSDB_RUN_DIR is unset. Removed on destruction. */
class TempStore {
 public:
  TempStore();
  ~TempStore();
  TempStore(const TempStore &) = delete;
  TempStore &operator=(const TempStore &) = delete;
  const std::string &dir() const { return dir_; }
  const std::string &db() const { return db_; }

 private:
  std::string dir_, db_;
};

/* Registers group `name` with one graph per data type; returns the gid. */
int register_group(const std::string &name, const std::vector<int> &data_types,
                   const std::string &hierarchy = "Tier>Server");

/* A vector's metric id buffer and tag list, for the inserts. */
struct Vec {
  explicit Vec(const std::string &server, int num_graphs = 1);
  ~Vec();
  Vec(const Vec &) = delete;
  Vec &operator=(const Vec &) = delete;
  /* First insert when fresh (or after reopen()), insert by id afterwards. */
  int insert(int gid, std::vector<double> row, int granularity = 10);
  void reopen();  // a new buffer; the next insert is a first insert again
  void *id = nullptr;
  bool created = false;
  int num_graphs;
  std::string tier = "T1", server;
};

struct Sample {
  int64_t sid;
  int graph;
  std::string role;
  int64_t time;
  std::optional<double> value;
};

/* SELECT sid, graph, role, time, value FROM samples <where> ORDER BY sid,
 * graph, time, rowid: what a reader of the store sees. */
std::vector<Sample> samples(const std::string &db, const std::string &where = "");
/* One integer from an SQL query on the store (-1 when there is no row). */
int64_t query_int(const std::string &db, const std::string &sql);
/* Flips one bit in the middle of chunk `rowid`'s blob: its row and facts
 * hold, its checksum does not. */
void damage_chunk_blob(const std::string &db, int64_t rowid);

/* Runs a whole migration of `count` samples for `series` vectors of one group
 * "Load" with a "times" and a "sample" graph, starting at start (step 10),
 * value v(series, sample) = seed + series * 1000 + sample. */
void migrate(long start, int count, int series, double seed);

}  // namespace store_test

#endif
