/*
 * store_test_support.cpp - see store_test_support.h.
 */
#include "store_test_support.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "samples_vtab.h"

namespace store_test {

TempStore::TempStore() {
  char tmpl[] = "/tmp/orvtsdb_test_XXXXXX";
  dir_ = mkdtemp(tmpl);
  db_ = dir_ + "/store.sqlite";
  setenv("ORVTSDB_URL", ("sqlite:" + db_).c_str(), 1);
  unsetenv("ORVTSDB_RUN_DIR");
}

TempStore::~TempStore() {
  unsetenv("ORVTSDB_URL");
  std::filesystem::remove_all(dir_);
}

int register_group(const std::string &name, const std::vector<int> &data_types,
                   const std::string &hierarchy) {
  tsdb_metric_group g{};
  std::snprintf(g.group_name, sizeof g.group_name, "%s", name.c_str());
  std::snprintf(g.heirarchy, sizeof g.heirarchy, "%s", hierarchy.c_str());
  g.num_graphs = (unsigned short)data_types.size();
  g.group_type = 1;
  std::vector<tsdb_metric_info> graphs(data_types.size());
  for (size_t i = 0; i < graphs.size(); i++) {
    graphs[i] = tsdb_metric_info{};
    graphs[i].data_type = (unsigned char)data_types[i];
    std::snprintf(graphs[i].graph_name, sizeof graphs[i].graph_name, "Graph %zu", i);
  }
  char err[TSDB_ERR_MSG_LEN] = "";
  int gid = tsdb_register_gdf(&g, (int)graphs.size(), graphs.data(), err);
  EXPECT_GE(gid, 0) << err;
  return gid;
}

Vec::Vec(const std::string &name, int graphs) : num_graphs(graphs), server(name) { reopen(); }

Vec::~Vec() { std::free(id); }

void Vec::reopen() {
  std::free(id);
  id = tsdb_malloc_metric_id_buffer(num_graphs);
  created = false;
}

int Vec::insert(int gid, std::vector<double> row, int granularity) {
  if (created)
    return tsdb_insert_bulk_metric_by_id(nullptr, id, granularity, row.data(), num_graphs, 0,
                                         (int)row.size());
  tag_val_ptr_t tv[4] = {{(char *)"customer", (char *)"Default"},
                         {(char *)"application", (char *)"Default"},
                         {(char *)"Tier", tier.data()},
                         {(char *)"Server", server.data()}};
  char err[TSDB_ERR_MSG_LEN] = "";
  int rc = tsdb_insert_bulk_metric_by_mg_gid_ex(tv, nullptr, nullptr, 0, 4, gid, granularity,
                                                row.data(), num_graphs, id, 0, err,
                                                (int)row.size());
  EXPECT_EQ(rc, 0) << err;
  created = rc == 0;
  return rc;
}

namespace {

sqlite3 *open_db(const std::string &path) {
  sqlite3 *db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  orvtsdb::register_samples_table(db);
  return db;
}

}  // namespace

std::vector<Sample> samples(const std::string &path, const std::string &where) {
  sqlite3 *db = open_db(path);
  std::string sql = "SELECT sid, graph, role, time, value FROM samples " + where +
                    " ORDER BY sid, graph, time, rowid";
  sqlite3_stmt *st = nullptr;
  std::vector<Sample> out;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
    ADD_FAILURE() << sqlite3_errmsg(db);
  while (st && sqlite3_step(st) == SQLITE_ROW) {
    Sample s{sqlite3_column_int64(st, 0), sqlite3_column_int(st, 1),
             reinterpret_cast<const char *>(sqlite3_column_text(st, 2)),
             sqlite3_column_int64(st, 3), std::nullopt};
    if (sqlite3_column_type(st, 4) != SQLITE_NULL) s.value = sqlite3_column_double(st, 4);
    out.push_back(s);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

int64_t query_int(const std::string &path, const std::string &sql) {
  sqlite3 *db = open_db(path);
  sqlite3_stmt *st = nullptr;
  int64_t v = -1;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
    ADD_FAILURE() << sqlite3_errmsg(db) << " in " << sql;
  if (st && sqlite3_step(st) == SQLITE_ROW) v = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  sqlite3_close(db);
  return v;
}

void damage_chunk_blob(const std::string &path, int64_t rowid) {
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_blob *blob = nullptr;
  ASSERT_EQ(sqlite3_blob_open(db, "main", "chunks", "data", rowid, 1, &blob), SQLITE_OK);
  int at = sqlite3_blob_bytes(blob) / 2;
  unsigned char byte = 0;
  ASSERT_EQ(sqlite3_blob_read(blob, &byte, 1, at), SQLITE_OK);
  byte ^= 0x10;
  ASSERT_EQ(sqlite3_blob_write(blob, &byte, 1, at), SQLITE_OK);
  sqlite3_blob_close(blob);
  sqlite3_close(db);
}

void migrate(long start, int count, int series, double seed) {
  ASSERT_EQ(tsdb_init_migration(start), 0);
  int gid = register_group("Load", {3, 0});
  std::vector<std::unique_ptr<Vec>> vecs;
  for (int s = 0; s < series; s++)
    vecs.push_back(std::make_unique<Vec>("S" + std::to_string(s), 2));
  for (int i = 0; i < count; i++) {
    for (int s = 0; s < series; s++) {
      double v = seed + s * 1000 + i;
      vecs[s]->insert(gid, {v, v - 1, v + 1, 3, v * 2});
    }
    tsdb_migration_increment_sample_ex(10);
  }
  ASSERT_EQ(tsdb_exit_migration(start + count * 10), 0);
}

}  // namespace store_test
