/*
 * first_migration_test.cpp - the first migration into a store that does not
 * exist yet, on a disk that fills up at every size from nothing to enough:
 * it leaves no file or a store every reader accepts, never a file without
 * tables. Its own program: the fault injection wraps SQLite's file system.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "fault_injection.h"
#include "store_test_support.h"
#include "vzu_test_support.h"

using namespace store_test;
namespace fs = std::filesystem;

namespace {

const bool g_installed = (faults::install_faults(), true);

/* A small migration through the nine calls, carrying on after failures as
 * the tool does; the exit call's result. */
int small_migration() {
  tsdb_init_migration(1000);
  tsdb_metric_group g{};
  std::snprintf(g.group_name, sizeof g.group_name, "Load");
  tsdb_metric_info graph{};
  graph.data_type = 0;
  std::snprintf(graph.graph_name, sizeof graph.graph_name, "Hits");
  char err[TSDB_ERR_MSG_LEN], tag[] = "Server", val[] = "S0";
  int gid = tsdb_register_gdf(&g, 1, &graph, err);
  tag_val_ptr_t tv[1] = {{tag, val}};
  void *id = tsdb_malloc_metric_id_buffer(1);
  bool created = false;
  for (int i = 0; i < 600; i++) {
    double v = i * 0.5;
    if (created)
      tsdb_insert_bulk_metric_by_id(nullptr, id, 10, &v, 1, 0, 1);
    else
      created = tsdb_insert_bulk_metric_by_mg_gid_ex(tv, nullptr, nullptr, 0, 1, gid, 10, &v, 1, id,
                                                     0, err, 1) == 0;
    tsdb_migration_increment_sample_ex(10);
  }
  tsdb_free_metric_id_buffer(id);
  return tsdb_exit_migration(7000);
}

TEST(FirstMigration, AFullDiskLeavesNoFileOrAValidStore) {
  long tried = 0, bad = 0, refused = 0;
  for (int64_t limit : {0, 100, 512, 1024, 4096, 8192, 16384, 32768, 65536, 1 << 22}) {
    SCOPED_TRACE(limit);
    TempStore store;
    faults::limit_file_size(limit);
    testing::internal::CaptureStderr();
    int rc = small_migration();
    std::string said = testing::internal::GetCapturedStderr();
    faults::limit_file_size(-1);
    tried++;
    refused += rc != 0;
    if (rc != 0) {
      EXPECT_NE(said.find(store.db()), std::string::npos) << said;
    }
    bool exists = fs::exists(store.db());
    if (exists) {
      auto info = vzu_test::run_program(ORVTSDB_COMMAND, {"info", store.db()},
                                        {{"ASAN_OPTIONS", "detect_leaks=0"}});
      int64_t stored = query_int(store.db(), "SELECT count(*) FROM samples");
      bool valid = info.status == 0 && stored == (rc == 0 ? 600 : 0);
      bad += !valid;
      EXPECT_TRUE(valid) << "rc " << rc << ", " << stored << " samples: " << info.err;
    }
    for (const auto &e : fs::directory_iterator(store.dir()))
      EXPECT_EQ(e.path(), store.db()) << "a temporary file stayed";
  }
  std::printf("[faults] first migration on a full disk: %ld cases, %ld refused, %ld bad stores\n",
              tried, refused, bad);
  EXPECT_GT(refused, 2);
  EXPECT_LT(refused, tried) << "the largest limit lets the migration through";
}

}  // namespace
