/*
 * run_identity_test.cpp - a run is known by its content: copies made before
 * the first migration are one run in a shared store, different runs are
 * not, and the id cached at the first migration outlives later changes to
 * the files.
 */
#include <gtest/gtest.h>

#include <filesystem>

#include "store_test_support.h"
#include "vzu_test_support.h"

using namespace store_test;
namespace fs = std::filesystem;

namespace {

/* A run folder with one partition holding `packets` as its raw sample file. */
void make_run(const std::string &dir, const std::string &partition, const std::string &packets) {
  fs::create_directories(dir + "/" + partition);
  vzu_test::write_file(dir + "/" + partition + "/rtgMessage.dat", packets);
  vzu_test::write_file(dir + "/summary.top", "1|2|3\n");
}

void migrate_run(const std::string &dir, double seed) {
  setenv("ORVTSDB_RUN_DIR", dir.c_str(), 1);
  migrate(1000, 100, 2, seed);
  unsetenv("ORVTSDB_RUN_DIR");
}

std::string id_of(const std::string &dir) { return vzu_test::read_file(dir + "/tsdb/run.id"); }

TEST(RunContentIdentity, CopiesMadeBeforeTheFirstMigrationAreOneRun) {
  TempStore store;  // shared by every folder below
  std::string base = store.dir();
  std::string packets(3000, 'p');
  make_run(base + "/a/TR1", "20240301101500", packets);
  // an earlier name without raw data does not count as the first partition
  fs::create_directories(base + "/a/TR1/20240301000000");
  fs::create_directories(base + "/b");
  fs::copy(base + "/a/TR1", base + "/b/TR7", fs::copy_options::recursive);
  migrate_run(base + "/a/TR1", 1);
  migrate_run(base + "/b/TR7", 1);
  EXPECT_EQ(query_int(store.db(), "SELECT count(*) FROM samples"), 2 * 100 * 5) << "not doubled";
  EXPECT_EQ(query_int(store.db(), "SELECT count(DISTINCT run) FROM migrations"), 1);
  EXPECT_EQ(id_of(base + "/a/TR1"), id_of(base + "/b/TR7"));

  // Another first partition name, or other first packets: another run.
  make_run(base + "/c/TR1", "20240301101501", packets);
  make_run(base + "/d/TR1", "20240301101500", std::string(2999, 'p') + "q");
  migrate_run(base + "/c/TR1", 1);
  migrate_run(base + "/d/TR1", 1);
  EXPECT_EQ(query_int(store.db(), "SELECT count(DISTINCT run) FROM migrations"), 3);
  EXPECT_EQ(query_int(store.db(), "SELECT count(*) FROM samples"), 3 * 2 * 100 * 5);

  // The id cached at the first migration stays when the files change later.
  std::string cached = id_of(base + "/a/TR1");
  vzu_test::write_file(base + "/a/TR1/20240301101500/rtgMessage.dat", "damaged");
  migrate_run(base + "/a/TR1", 2);
  EXPECT_EQ(id_of(base + "/a/TR1"), cached);
  EXPECT_EQ(query_int(store.db(), "SELECT count(DISTINCT run) FROM migrations"), 3);
  EXPECT_EQ(query_int(store.db(), "SELECT count(*) FROM samples"), 3 * 2 * 100 * 5);
}

TEST(RunContentIdentity, TheToolDoesNotDoubleACopiedRunInASharedStore) {
  vzu_test::TempRun a(4), b(9);
  auto gen = vzu_test::run_program(vzu_test::bin_dir() + "/make_sample_run",
                                   {"--preset", "small", "--wdir", a.wdir(), "--testrun", "4"});
  ASSERT_EQ(gen.status, 0) << gen.err;
  fs::remove_all(b.run_dir());
  fs::copy(a.run_dir(), b.run_dir(), fs::copy_options::recursive);
  std::string db = a.wdir() + "/shared.sqlite";
  vzu_test::Env env = vzu_test::real_store_env();
  env.push_back({"ORVTSDB_URL", "sqlite:" + db});
  auto first = vzu_test::run_tool(a, {"-t", "4"}, env);
  ASSERT_EQ(first.status, 0) << first.err;
  int64_t once = query_int(db, "SELECT count(*) FROM samples");
  ASSERT_GT(once, 0);
  auto second = vzu_test::run_tool(b, {"-t", "9"}, env);
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(query_int(db, "SELECT count(*) FROM samples"), once);
  EXPECT_EQ(query_int(db, "SELECT count(DISTINCT run) FROM migrations"), 1);
}

}  // namespace
