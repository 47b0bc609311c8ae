/*
 * store_api_test.cpp - the nine calls against a temporary store: the clock,
 * identity across partitions and migrations, delete and reopen, missing
 * values, element roles, chunk boundaries, re-migration and bad arguments.
 */
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sqlite3.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "migration.h"
#include "read_connection.h"
#include "store_checks.h"
#include "store_reading.h"
#include "store_test_support.h"

using namespace store_test;

static int g_mkdir_ex_calls = 0;

/* The migration tool exports this; the library creates the store's directories with it. */
extern "C" int mkdir_ex(char *path) {
  g_mkdir_ex_calls++;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  return 1;
}

namespace {

std::vector<int64_t> times_of(const std::vector<Sample> &rows) {
  std::vector<int64_t> t;
  for (const Sample &s : rows) t.push_back(s.time);
  return t;
}

std::vector<std::string> faults_of(const std::string &path) {
  std::string err;
  sqlite3 *db = orvtsdb::open_for_reading(path, err);
  EXPECT_NE(db, nullptr) << err;
  auto faults = orvtsdb::store_faults(db, 10, err);
  EXPECT_EQ(err, "");
  sqlite3_close(db);
  return faults;
}

/* Every fault `orvtsdb verify` would report. */
std::vector<std::string> audit_faults(const std::string &path) {
  std::string err;
  sqlite3 *db = orvtsdb::open_for_reading(path, err);
  EXPECT_NE(db, nullptr) << err;
  std::vector<std::string> faults;
  orvtsdb::audit_store(db, 10, [&](const std::string &f) { faults.push_back(f); });
  sqlite3_close(db);
  return faults;
}

TEST(StoreClock, InsertsLandAtTheClockAndShortGapsStayMissing) {
  TempStore store;
  ASSERT_EQ(tsdb_init_migration(1000), 0);
  int gid = register_group("Clock", {0});
  Vec v("S1");
  v.insert(gid, {1});
  tsdb_migration_increment_sample_ex(10);
  v.insert(gid, {2});
  tsdb_migration_increment_sample_ex(10);
  tsdb_migration_increment_sample_ex(10);  // a sample missing from the raw data
  v.insert(gid, {4});
  // Nothing is visible before the migration's end.
  EXPECT_EQ(query_int(store.db(), "SELECT count(*) FROM sqlite_master WHERE name='chunks'") > 0
                ? query_int(store.db(), "SELECT count(*) FROM chunks")
                : 0,
            0);
  ASSERT_EQ(tsdb_exit_migration(1040), 0);

  auto rows = samples(store.db());
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(times_of(rows), (std::vector<int64_t>{1000, 1010, 1020, 1030}));
  EXPECT_EQ(rows[0].value, 1.0);
  EXPECT_EQ(rows[1].value, 2.0);
  EXPECT_FALSE(rows[2].value.has_value());
  EXPECT_EQ(rows[3].value, 4.0);
  EXPECT_EQ(query_int(store.db(), "SELECT count(*) FROM chunks"), 1);
  EXPECT_EQ(query_int(store.db(), "SELECT last_sample FROM migrations"), 1030);
}

/* Without tsdb_init_migration no sample has a time: the calls are refused,
 * said once, and the exit fails without making a store. */
TEST(StoreClock, CallsBeforeInitAreRefusedAndStoreNothing) {
  TempStore store;
  testing::internal::CaptureStderr();
  char msg[TSDB_ERR_MSG_LEN] = "";
  tsdb_metric_group group{};
  std::snprintf(group.group_name, sizeof group.group_name, "Early");
  tsdb_metric_info graph{};
  EXPECT_EQ(tsdb_register_gdf(&group, 1, &graph, msg), -1);
  EXPECT_NE(std::string(msg).find("no start time"), std::string::npos) << msg;
  EXPECT_EQ(tsdb_migration_increment_sample_ex(10), -1);
  EXPECT_EQ(tsdb_exit_migration(0), -1);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("no start time"), std::string::npos) << said;
  EXPECT_NE(said.find("not stored, the store is unchanged"), std::string::npos) << said;
  size_t told = 0;
  for (size_t at = said.find("no start time"); at != std::string::npos;
       at = said.find("no start time", at + 1))
    told++;
  EXPECT_EQ(told, 2u) << "once at the first call, once at the exit: " << said;
  EXPECT_FALSE(std::filesystem::exists(store.db())) << "no store made";
  // The next migration opens as usual.
  ASSERT_EQ(tsdb_init_migration(100), 0);
  int gid = register_group("Later", {0});
  Vec v("S1");
  v.insert(gid, {7});
  ASSERT_EQ(tsdb_exit_migration(100), 0);
  auto rows = samples(store.db());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].time, 100);
}

TEST(StoreRoles, EachGraphKeepsTheRolesOfItsDataTypeFamily) {
  TempStore store;
  ASSERT_EQ(tsdb_init_migration(50), 0);
  // sample, times, timesStd, sample_2B_100_count_4B, cumulative
  int gid = register_group("Roles", {0, 3, 4, 10, 2});
  Vec v("S1", 5);
  std::vector<double> row;
  for (int i = 1; i <= 13; i++) row.push_back(i * 1.5);
  v.insert(gid, row);
  ASSERT_EQ(tsdb_exit_migration(50), 0);

  auto rows = samples(store.db());
  std::vector<std::pair<int, std::string>> got;
  for (const Sample &s : rows) got.emplace_back(s.graph, s.role);
  std::vector<std::pair<int, std::string>> want = {
      {0, "value"}, {1, "avg"},   {1, "min"},   {1, "max"},   {1, "count"}, {2, "avg"},  {2, "min"},
      {2, "max"},   {2, "count"}, {2, "fifth"}, {3, "value"}, {3, "count"}, {4, "value"}};
  EXPECT_EQ(got, want);
  for (size_t i = 0; i < rows.size(); i++) EXPECT_EQ(rows[i].value, (i + 1) * 1.5);
  // A row of the wrong width is refused.
  v.reopen();
  ASSERT_EQ(tsdb_init_migration(60), 0);
  char err[TSDB_ERR_MSG_LEN] = "";
  tag_val_ptr_t tv[1] = {{(char *)"Server", (char *)"S1"}};
  gid = register_group("Roles", {0, 3, 4, 10, 2});
  EXPECT_LT(tsdb_insert_bulk_metric_by_mg_gid_ex(tv, 0, 0, 0, 1, gid, 10, row.data(), 5, v.id, 0,
                                                 err, 12),
            0);
  EXPECT_NE(std::string(err).find("elements"), std::string::npos) << err;
  tsdb_exit_migration(60);
}

TEST(StoreIdentity, GroupsAndSeriesKeepTheirIdsAcrossPartitionsAndMigrations) {
  TempStore store;
  ASSERT_EQ(tsdb_init_migration(0), 0);
  int gid = register_group("Web", {0});
  int other = register_group("Db", {0});
  EXPECT_NE(gid, other);
  EXPECT_EQ(register_group("Web", {0}), gid);
  {
    Vec a("S1");
    a.insert(gid, {1});
  }
  tsdb_migration_increment_sample_ex(10);
  {
    Vec again("S1");  // the same vector re-created in the next partition
    again.insert(gid, {2});
  }
  ASSERT_EQ(tsdb_exit_migration(10), 0);

  ASSERT_EQ(tsdb_init_migration(100), 0);
  register_group("Other", {0});
  EXPECT_EQ(register_group("Web", {0}), gid);
  Vec a("S1"), b("S2");
  a.insert(gid, {3});
  b.insert(gid, {4});
  ASSERT_EQ(tsdb_exit_migration(100), 0);

  EXPECT_EQ(query_int(store.db(), "SELECT count(*) FROM series"), 2);
  auto rows = samples(store.db(), "WHERE group_name = 'Web'");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].sid, rows[2].sid);
  EXPECT_EQ(times_of(rows), (std::vector<int64_t>{0, 10, 100, 100}));
  EXPECT_EQ(
      query_int(store.db(), "SELECT count(*) FROM series_labels WHERE tag='Server' AND value='S2'"),
      1);
}

TEST(StoreDelete, DeleteEndsTheSeriesKeepsItsDataAndAFirstInsertReopensIt) {
  TempStore store;
  ASSERT_EQ(tsdb_init_migration(0), 0);
  int gid = register_group("Del", {0});
  Vec v("S1");
  v.insert(gid, {1});
  tsdb_migration_increment_sample_ex(10);
  v.insert(gid, {2});
  char err[TSDB_ERR_MSG_LEN] = "";
  EXPECT_EQ(tsdb_delete_metric_by_id(v.id, err), 0) << err;
  tsdb_migration_increment_sample_ex(10);
  tsdb_migration_increment_sample_ex(10);
  ASSERT_EQ(tsdb_exit_migration(30), 0);
  EXPECT_EQ(query_int(store.db(), "SELECT ended FROM series"), 10);
  EXPECT_EQ(samples(store.db()).size(), 2u);

  ASSERT_EQ(tsdb_init_migration(40), 0);
  gid = register_group("Del", {0});
  v.reopen();
  v.insert(gid, {5});
  // Two vectors of one tag list share the series: the one deleted ends it,
  // the other goes on writing it through its own buffer.
  Vec twin("S1");
  twin.insert(gid, {5});
  EXPECT_EQ(tsdb_delete_metric_by_id(v.id, err), 0) << err;
  tsdb_migration_increment_sample_ex(10);
  EXPECT_EQ(twin.insert(gid, {6}), 0);
  ASSERT_EQ(tsdb_exit_migration(50), 0);
  EXPECT_EQ(query_int(store.db(), "SELECT count(*) FROM series WHERE ended IS NULL"), 1);
  EXPECT_EQ(times_of(samples(store.db())), (std::vector<int64_t>{0, 10, 40, 50}));
}

// An insert the store refuses is samples it was asked to keep and did not:
// the migration stops, says which series and why, and stores nothing, so
// that no exit status claims the run was stored.
TEST(StoreRefusal, ARefusedInsertStoresNothingAndNamesItsSeries) {
  TempStore store;
  migrate(0, 3, 1, 0);
  size_t before = samples(store.db()).size();
  struct Case {
    const char *what;
    std::function<int(int gid, Vec &v)> refused;
    const char *message;
  } cases[] = {
      {"by id into a deleted series",
       [](int, Vec &v) {
         char err[TSDB_ERR_MSG_LEN] = "";
         EXPECT_EQ(tsdb_delete_metric_by_id(v.id, err), 0) << err;
         return v.insert(0, {1, 2, 3, 4, 5});
       },
       "an insert of group 'Load', series "
       "'customer=Default,application=Default,Tier=T1,Server=S7' was refused: series was deleted"},
      {"at a granularity the store has not",
       [](int gid, Vec &v) {
         return v.insert(gid, {1, 2, 3, 4, 5}, -1);
       },
       "an insert of group 'Load', series "
       "'customer=Default,application=Default,Tier=T1,Server=S7' was refused: bad insert: data "
       "given, granularity -1"},
      {"into an unregistered group",
       [](int, Vec &) {
         void *id = tsdb_malloc_metric_id_buffer(1);
         double x = 1;
         char err[TSDB_ERR_MSG_LEN] = "";
         int rc = tsdb_insert_bulk_metric_by_mg_gid_ex(nullptr, 0, 0, 0, 0, 4242, 10, &x, 1, id, 0,
                                                       err, 1);
         tsdb_free_metric_id_buffer(id);
         return rc;
       },
       "an insert of group id 4242 was refused: it is not registered"},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(tsdb_init_migration(100), 0);
    int gid = register_group("Load", {3, 0});
    Vec v("S7", 2);
    ASSERT_EQ(v.insert(gid, {1, 2, 3, 4, 5}), 0);
    tsdb_migration_increment_sample_ex(10);
    testing::internal::CaptureStderr();
    EXPECT_LT(c.refused(gid, v), 0) << c.what;
    tsdb_migration_increment_sample_ex(10);
    EXPECT_LT(v.insert(gid, {1, 2, 3, 4, 5}), 0) << c.what << ": the migration stopped";
    EXPECT_EQ(tsdb_exit_migration(120), -1) << c.what;
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("the store is unchanged: " + std::string(c.message)), std::string::npos)
        << c.what << ": " << said;
    EXPECT_EQ(samples(store.db()).size(), before) << c.what;
  }
}

// A write at the time of the sample a closed chunk ends with replaces that
// sample, as it would inside an open chunk: a series deleted and written
// again before the clock moves (a raw sample file without packets between
// two versions), a chunk that filled at the time a new version's first
// packet repeats, a group registered again with other graphs. No two chunks
// of a series share a time, and the later value is the one read.
/* The store keeps times from 1970 to the end of 9999: a start outside
 * them, or a clock stepped past them, fails the migration rather than
 * wrapping round to negative times that every reader would print. */
TEST(StoreClock, AClockOutsideTheYears1970To9999IsRefused) {
  TempStore store;
  testing::internal::CaptureStderr();
  for (long start : {-5L, 253402300800L, 9223372036854775800L}) {
    EXPECT_EQ(tsdb_init_migration(start), -1) << start;
    EXPECT_EQ(tsdb_exit_migration(start), -1) << start;
  }
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("start time 9223372036854775800 is outside the times a store keeps"),
            std::string::npos)
      << said;
  EXPECT_FALSE(std::filesystem::exists(store.db())) << "no store made";
  // The last second is kept; a step past it stores nothing of the run.
  migrate(253402300799L - 30, 3, 1, 0);
  EXPECT_EQ(samples(store.db()).size(), 3u * 5);
  testing::internal::CaptureStderr();
  ASSERT_EQ(tsdb_init_migration(253402300799L - 5), 0);
  int gid = register_group("Late", {0});
  Vec v("S1");
  v.insert(gid, {1});
  EXPECT_EQ(tsdb_migration_increment_sample_ex(10), -1);
  EXPECT_EQ(tsdb_exit_migration(253402300799L), -1);
  said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("the clock passes 253402300799 (9999-12-31 23:59:59 UTC)"), std::string::npos)
      << said;
  EXPECT_EQ(samples(store.db()).size(), 3u * 5);
  EXPECT_EQ(query_int(store.db(), "SELECT max(end_time) FROM chunks"), 253402300799L - 10);
}

TEST(StoreClock, AWriteAtAClosedChunksLastTimeReplacesItsSample) {
  TempStore store;
  ASSERT_EQ(tsdb_init_migration(0), 0);
  int gid = register_group("Same", {0});
  Vec deleted("S1"), full("S2");
  deleted.insert(gid, {1});
  char err[TSDB_ERR_MSG_LEN] = "";
  ASSERT_EQ(tsdb_delete_metric_by_id(deleted.id, err), 0) << err;
  deleted.reopen();
  deleted.insert(gid, {2});
  const int n = orvtsdb::CHUNK_SAMPLES;
  for (int i = 0; i < n; i++) {
    if (i > 0) tsdb_migration_increment_sample_ex(10);
    full.insert(gid, {(double)i});
  }
  full.insert(gid, {-1});  // the last sample's time again
  tsdb_migration_increment_sample_ex(10);
  full.insert(gid, {(double)n});
  deleted.insert(gid, {3});
  gid = register_group("Same", {0, 0});  // a second graph
  Vec relaid("S1", 2);
  relaid.insert(gid, {4, 40});
  tsdb_migration_increment_sample_ex(10);
  relaid.insert(gid, {5, 50});
  const int64_t t = n * 10;  // the time of the first sample after the full chunk
  ASSERT_EQ(tsdb_exit_migration(t + 10), 0);

  EXPECT_EQ(audit_faults(store.db()), std::vector<std::string>{});
  auto values = [&](const std::string &server, int graph) {
    std::vector<std::pair<int64_t, double>> out;
    for (const Sample &x : samples(store.db(), "WHERE graph = " + std::to_string(graph) +
                                                   " AND labels LIKE '%" + server + "%'"))
      if (x.value) out.emplace_back(x.time, *x.value);
    return out;
  };
  using Points = std::vector<std::pair<int64_t, double>>;
  EXPECT_EQ(values("S1", 0), (Points{{0, 2}, {t, 4}, {t + 10, 5}}));
  EXPECT_EQ(values("S1", 1), (Points{{t, 40}, {t + 10, 50}}));
  Points s2 = values("S2", 0);
  ASSERT_EQ(s2.size(), (size_t)n + 1);
  EXPECT_EQ(s2[n - 2], (std::pair<int64_t, double>{t - 20, n - 2}));
  EXPECT_EQ(s2[n - 1], (std::pair<int64_t, double>{t - 10, -1}));
  EXPECT_EQ(s2[n], (std::pair<int64_t, double>{t, n}));
}

TEST(StoreValues, MissingMarkerIsNotANumberButNaNAndExtremesSurvive) {
  TempStore store;
  ASSERT_EQ(tsdb_init_migration(0), 0);
  int gid = register_group("Vals", {3});
  Vec v("S1");
  v.insert(gid, {TSDB_MISSING_VALUE, -0.0, 1e308, 4});
  ASSERT_EQ(tsdb_exit_migration(0), 0);
  auto rows = samples(store.db());
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_FALSE(rows[0].value.has_value());
  EXPECT_TRUE(std::signbit(*rows[1].value));
  EXPECT_EQ(rows[2].value, 1e308);
  EXPECT_EQ(query_int(store.db(), "SELECT count(*) FROM samples WHERE value IS NULL"), 1);
}

TEST(StoreChunks, FullChunksGranularityChangesAndLongGapsStartNewChunks) {
  TempStore store;
  ASSERT_EQ(tsdb_init_migration(0), 0);
  int gid = register_group("Chunks", {0});
  Vec v("S1");
  const int n = orvtsdb::CHUNK_SAMPLES, first = 2 * n + 44;  // two full chunks and 44
  for (int i = 0; i < first; i++) {
    v.insert(gid, {(double)i});
    tsdb_migration_increment_sample_ex(10);
  }
  for (int i = 0; i < 5; i++) {  // granularity changes to 60
    v.insert(gid, {1000.0 + i}, 60);
    tsdb_migration_increment_sample_ex(60);
  }
  for (int i = 0; i < 100; i++) tsdb_migration_increment_sample_ex(60);  // long gap
  v.insert(gid, {2000}, 60);
  ASSERT_EQ(tsdb_exit_migration(0), 0);

  EXPECT_EQ(query_int(store.db(), "SELECT count(*) FROM chunks WHERE count = " + std::to_string(n)),
            2);
  EXPECT_EQ(query_int(store.db(), "SELECT count(*) FROM chunks"), 5);
  EXPECT_EQ(query_int(store.db(), "SELECT sum(count) FROM chunks WHERE step = 60"), 6);
  auto rows = samples(store.db());
  ASSERT_EQ(rows.size(), (size_t)first + 6);
  for (int i = 0; i < first; i++) {
    ASSERT_EQ(rows[i].time, i * 10);
    ASSERT_EQ(rows[i].value, i);
  }
  const int64_t t = first * 10;
  EXPECT_EQ(rows[first].time, t);
  EXPECT_EQ(rows[first + 4].time, t + 240);
  EXPECT_EQ(rows[first + 5].time, t + 300 + 100 * 60);
}

// An open chunk's buffer grows while memory allows: the rows come back bit
// for bit across its growth, with gaps filled over the point where it grew,
// the last write at a time winning, a group registered again part-way (the
// rows change size) and a series that goes idle and is put away.
TEST(StoreChunks, ChunksGrowAndReadBackExact) {
  TempStore store;
  ASSERT_EQ(tsdb_init_migration(0), 0);
  int gid = register_group("Long", {0, 10});  // a value; a value and a count
  Vec a("S1", 2), b("S2", 2), d("S4", 2);
  int64_t now = 0;
  auto tick = [&] {
    tsdb_migration_increment_sample_ex(10);
    now += 10;
  };
  std::map<std::pair<std::string, int64_t>, std::vector<double>> want;  // (server, time): row
  auto put = [&](Vec &v, const std::vector<double> &row) {
    ASSERT_EQ(v.insert(gid, row), 0);
    want[{v.server, now}] = row;
  };
  const int first = orvtsdb::FIRST_ROWS;
  const int steps = 2 * orvtsdb::IDLE_STEPS + first + 5;
  for (int i = 0; i < steps; i++, tick()) {
    double x = i * 0.1 + 1e-17 * i;                                  // full-precision doubles
    if (i % 7 != 3 || i < first - 2) put(a, {x, x / 3, (double)i});  // S1: gaps of a step
    if (i == first) put(a, {-1, -2, -3});          // the first row after a growth, again
    if (i < first + 9) put(b, {(double)i, 0, 1});  // S2, then idle until it is put away
    if (i > 2 * orvtsdb::IDLE_STEPS) put(d, {(double)-i, 5, 6});
  }
  gid = register_group("Long", {0, 10, 0});  // a third graph: S1's rows grow
  Vec c("S3", 3), a3("S1", 3);
  for (int i = 0; i < 2 * first; i++, tick()) {
    put(a3, {(double)i, 1, 2, 3.5});
    put(c, {-(double)i, 1, 2, 4});
  }
  ASSERT_EQ(tsdb_exit_migration(now), 0);

  EXPECT_EQ(audit_faults(store.db()), std::vector<std::string>{});
  // samples() goes by series, graph, time and role: a time's values in the
  // order of its row's elements
  std::map<std::pair<std::string, int64_t>, std::vector<double>> got;
  for (const std::string server : {"S1", "S2", "S3", "S4"})
    for (const Sample &x : samples(store.db(), "WHERE labels LIKE '%" + server + "%'"))
      if (x.value) got[{server, x.time}].push_back(*x.value);
  EXPECT_EQ(got, want);
  // S1's first chunk grew twice, its gaps filled
  EXPECT_GT(query_int(store.db(), "SELECT max(count) FROM chunks"), 2 * first);
}

// Where the buffers of the open chunks already take OPEN_BYTES, none grows:
// the chunks of many wide series go on in segments of FIRST_ROWS samples.
TEST(StoreChunks, ChunksGoOnInSegmentsWhenTheOpenOnesFillTheirMemory) {
  TempStore store;
  ASSERT_EQ(tsdb_init_migration(0), 0);
  const int graphs = 24, elements = graphs * 4;  // response times: four roles a graph
  const int series = (int)(orvtsdb::OPEN_BYTES / (orvtsdb::FIRST_ROWS * elements * 8)) + 2;
  int gid = register_group("Wide", std::vector<int>(graphs, 3));
  std::vector<std::unique_ptr<Vec>> vecs;
  for (int s = 0; s < series; s++)
    vecs.push_back(std::make_unique<Vec>("S" + std::to_string(s), graphs));
  std::vector<double> row(elements);
  for (int i = 0; i <= orvtsdb::FIRST_ROWS; i++) {
    for (size_t s = 0; s < vecs.size(); s++) {
      for (int e = 0; e < elements; e++) row[e] = i + s * 0.5 + e * 1e-3;
      ASSERT_EQ(vecs[s]->insert(gid, row), 0);
    }
    tsdb_migration_increment_sample_ex(10);
  }
  ASSERT_EQ(tsdb_exit_migration(10 * (orvtsdb::FIRST_ROWS + 1)), 0);
  EXPECT_EQ(query_int(store.db(), "SELECT max(count) FROM chunks"), orvtsdb::FIRST_ROWS + 1);
  EXPECT_EQ(query_int(store.db(), "SELECT count(*) FROM chunks"), series * graphs);
  // Each row's first segment holds FIRST_ROWS samples (the varint 128 after
  // the blob's header): no buffer grew.
  static_assert(orvtsdb::FIRST_ROWS == 128);
  EXPECT_EQ(query_int(store.db(),
                      "SELECT count(*) FROM chunks WHERE hex(substr(data, 15, 2)) = "
                      "'8001'"),
            series * graphs);
  // And every sample reads back from its segment: a graph's four roles are
  // its elements in order.
  EXPECT_EQ(audit_faults(store.db()), std::vector<std::string>{});
  std::vector<Sample> got = samples(store.db(), "WHERE labels LIKE '%S1,%' OR labels LIKE '%S1'");
  ASSERT_EQ(got.size(), (size_t)(orvtsdb::FIRST_ROWS + 1) * elements);
  std::map<std::pair<int, int64_t>, int> role_of;
  for (const Sample &x : got) {
    int e = x.graph * 4 + role_of[{x.graph, x.time}]++;
    ASSERT_EQ(x.value, x.time / 10 + 0.5 + e * 1e-3) << x.graph << " " << x.time;
  }
}

// Chunk rows of every size fill the chunks table's pages: the migration
// inserts each batch of them in the order that packs the pages, and a
// second migration into the store goes on where the first one's last page
// ends. (Rows of 100 bytes to a few kilobytes: a long gap every FIRST_ROWS
// samples closes the chunks before they grow.)
TEST(StoreChunks, RowsOfEverySizeFillTheirPages) {
  TempStore store;
  auto migrate_noise = [](long start, int n) {
    ASSERT_EQ(tsdb_init_migration(start), 0);
    int gid = register_group("Pages", {3, 0});
    std::vector<std::unique_ptr<Vec>> vecs;
    for (int s = 0; s < 48; s++) vecs.push_back(std::make_unique<Vec>("S" + std::to_string(s), 2));
    uint64_t x = 88172645463325252ull + (uint64_t)start;
    auto next = [&] { return x ^= x << 13, x ^= x >> 7, x ^= x << 17; };
    for (int i = 0; i < n; i++) {
      for (int s = 0; s < 48; s++) {
        // Noise of 2 to 40 bits: rows of 100 bytes to a few kilobytes.
        double v = (double)(next() >> (24 + s % 39)) / 1000;
        vecs[s]->insert(gid, {v, v / 3, v + 1, (double)(i % 7), v * 2});
      }
      tsdb_migration_increment_sample_ex(i % orvtsdb::FIRST_ROWS == orvtsdb::FIRST_ROWS - 1 ? 1000
                                                                                            : 10);
    }
    ASSERT_EQ(tsdb_exit_migration(start + n * 1000), 0);
  };
  auto unused = [&] {
    return query_int(store.db(),
                     "SELECT sum(unused) FROM dbstat WHERE name = 'chunks' AND pagetype = 'leaf'");
  };
  auto pages = [&] {
    return query_int(store.db(),
                     "SELECT count(*) FROM dbstat WHERE name = 'chunks' AND pagetype = 'leaf'");
  };
  migrate_noise(0, 1500);
  ASSERT_GT(pages(), 50);
  // All but the last page are full to within a thousandth: in the order
  // the rows closed, a few hundredths of each page stayed unused.
  EXPECT_LT(unused(), 16384 + pages() * 16) << unused() << " in " << pages() << " pages";
  migrate_noise(100000, 700);
  EXPECT_LT(unused(), 16384 + pages() * 16) << unused() << " in " << pages() << " pages";
  EXPECT_EQ(samples(store.db(), "WHERE graph = 1").size(), 48u * 2200);
}

TEST(StoreRemigration, SameRangeReplacesAndLaterRangesAccumulate) {
  TempStore store;
  migrate(1000, 200, 2, 0);
  migrate(1000, 200, 2, 0.5);  // the same run again
  auto rows = samples(store.db(), "WHERE role = 'avg'");
  ASSERT_EQ(rows.size(), 400u);
  EXPECT_EQ(rows[0].value, 0.5);
  migrate(3000, 50, 2, 7);  // the next partitions
  EXPECT_EQ(samples(store.db(), "WHERE role = 'avg'").size(), 500u);
  // A middle range migrated again: chunks around it are cut, not duplicated.
  migrate(1500, 10, 2, 99);
  rows = samples(store.db(), "WHERE role = 'avg' AND sid = 1");
  // Its span ends at its own end, before 1600 (what its exit says: the
  // time of the next partition's first sample): the first migration read
  // further, and the next partition's start is not known.
  ASSERT_EQ(rows.size(), 250u);
  for (size_t i = 1; i < rows.size(); i++) ASSERT_LT(rows[i - 1].time, rows[i].time);
  EXPECT_EQ(rows[49].value, 49.5);   // t = 1490, kept
  EXPECT_EQ(rows[50].value, 99.0);   // t = 1500, replaced
  EXPECT_EQ(rows[59].value, 108.0);  // t = 1590, replaced
  EXPECT_EQ(rows[60].value, 60.5);   // t = 1600, kept
  EXPECT_EQ(rows[200].value, 7.0);   // t = 3000, the next partitions' own, kept
}

// The writer computes a chunk row's check itself as it inserts, and keeps the
// facts of the series it creates as sums: both must be what a reader computes
// from the rows, or every later read would call the store damaged.
TEST(StoreChecks, TheWritersChunkChecksAndFactsAreWhatTheRowsGive) {
  TempStore store;
  migrate(1000, 300, 3, 0.25);
  migrate(1000, 300, 4, 0.5);  // the same run again, one series more
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(store.db().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  std::string err;
  ASSERT_TRUE(orvtsdb::register_check_function(db, err)) << err;
  auto one = [&](const std::string &sql) {
    sqlite3_stmt *st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
    int64_t v = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
    sqlite3_finalize(st);
    return v;
  };
  EXPECT_GT(one("SELECT count(*) FROM chunks"), 0);
  EXPECT_EQ(
      one("SELECT count(*) FROM chunks WHERE row_check IS NOT " + orvtsdb::row_check_sql("chunks")),
      0);
  EXPECT_EQ(one("SELECT check_of('chunks', -5, 0, 17, -9223372036854775807, 3, 0, "
                "9223372036854775807, 1)"),
            orvtsdb::chunk_row_check(-5, 0, 17, INT64_MIN + 1, 3, 0, INT64_MAX, 1));
  sqlite3_close(db);
  std::string path;
  db = orvtsdb::open_store_for_reading(store.db(), &path, err);
  ASSERT_NE(db, nullptr) << err;
  EXPECT_EQ(orvtsdb::store_faults(db, 10, err), std::vector<std::string>()) << err;
  sqlite3_close(db);
}

// Readers hash a listed chunk row themselves: for every row, whatever the
// types its columns hold (a damaged file holds any), their verdict must be
// what `row_check IS check_of(...)` says, or a reader would refuse a row that
// verify passes, or read one it refuses.
TEST(StoreChecks, TheReadersChunkRowCheckIsTheSqlOne) {
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  std::string err;
  ASSERT_TRUE(orvtsdb::register_check_function(db, err)) << err;
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE chunks(sid INTEGER, graph INTEGER, data_type INTEGER, "
                         "start_time INTEGER, step INTEGER, count INTEGER, end_time INTEGER, "
                         // untyped: it keeps a real or a text as a damaged record can
                         "migration INTEGER, row_check)",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  const std::string check = orvtsdb::row_check_sql("chunks");
  // Each column in turn holds a value of every type (7.0 and '7' are stored
  // as the integer 7), its check made for it; then the same rows with the
  // check of the row of 7s, and with checks no row has.
  const char *odd[] = {"2.5", "'x'", "x'00ff'", "NULL", "''", "-9223372036854775808", "7.0", "'7'"};
  std::string rows;
  for (int col = 0; col < 8; col++)
    for (const char *v : odd) {
      std::string values;
      for (int c = 0; c < 8; c++) values += (c ? ", " : "") + std::string(c == col ? v : "7");
      rows += "INSERT INTO chunks VALUES(" + values + ", NULL);";
    }
  ASSERT_EQ(sqlite3_exec(db, rows.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  // How many rows pass, where it is known.
  const std::pair<std::string, int> checks[] = {
      {check, 64},
      {"check_of('chunks', 7, 7, 7, 7, 7, 7, 7, 7)", 16},
      {"CAST(" + check + " AS TEXT)", 0},
      {"CAST(" + check + " AS REAL)", -1},  // equal where the check is a double's
      {"CAST(check_of('chunks', 7, 7, 7, 7, 7, 7, 7, 7) AS REAL)", -1},
      {"NULL", 0},
      {"'x'", 0},
      {"0.5", 0}};
  // The columns a reader lists, SQL's verdict (9) and the check's type (10).
  const std::string listed =
      "SELECT sid, graph, data_type, start_time, step, count, end_time, migration, row_check, "
      "row_check IS " +
      check + ", typeof(row_check) FROM chunks";
  for (const auto &[value, passing] : checks) {
    std::string update = "UPDATE chunks SET row_check = " + value;
    ASSERT_EQ(sqlite3_exec(db, update.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << update;
    sqlite3_stmt *st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, listed.c_str(), -1, &st, nullptr), SQLITE_OK);
    int seen = 0, passed = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
      bool readable = false;
      bool matches = orvtsdb::chunk_row_checks_out(st, 0, &readable, err);
      ASSERT_TRUE(readable) << err;
      EXPECT_EQ(matches, sqlite3_column_int(st, 9) == 1) << value << ", row " << seen;
      seen++;
      passed += matches;
    }
    sqlite3_finalize(st);
    EXPECT_EQ(seen, 64);
    if (passing >= 0) {
      EXPECT_EQ(passed, passing) << value;
    }
  }
  // A real equal to its row's check, as only a damaged record holds one (a
  // whole real is stored as an integer): a row whose check has twelve low
  // zero bits, so that a double holds it exactly.
  int64_t m = 1;
  while (m < 1000000 && orvtsdb::chunk_row_check(7, 7, 7, 7, 7, 7, 7, m) % 4096 != 0) m++;
  ASSERT_LT(m, 1000000);
  std::string real = "DELETE FROM chunks; INSERT INTO chunks VALUES(7, 7, 7, 7, 7, 7, 7, " +
                     std::to_string(m) + ", CAST(check_of('chunks', 7, 7, 7, 7, 7, 7, 7, " +
                     std::to_string(m) + ") AS REAL))";
  ASSERT_EQ(sqlite3_exec(db, real.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_stmt *st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, listed.c_str(), -1, &st, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_STREQ((const char *)sqlite3_column_text(st, 10), "real");
  EXPECT_EQ(sqlite3_column_int(st, 9), 1);
  bool readable = false;
  EXPECT_TRUE(orvtsdb::chunk_row_checks_out(st, 0, &readable, err));
  sqlite3_finalize(st);
  sqlite3_close(db);
}

// A chunk row left behind under the number the next new series gets is found
// when that migration commits, not folded into the new series' facts.
TEST(StoreChecks, ARowClaimingANewSeriesStopsTheMigrationThatCreatesIt) {
  TempStore store;
  migrate(1000, 300, 2, 0.25);
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(store.db().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "UPDATE chunks SET sid = 3 WHERE rowid = (SELECT max(rowid) FROM chunks "
                         "WHERE sid = 2)",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_changes(db), 1);
  sqlite3_close(db);
  ASSERT_EQ(tsdb_init_migration(5000), 0);
  int gid = register_group("Load", {3, 0});
  std::vector<std::unique_ptr<Vec>> vecs;
  // S0 again and a new S2 (series 3); S1, whose row moved, is not written.
  for (const char *server : {"S0", "S2"}) vecs.push_back(std::make_unique<Vec>(server, 2));
  for (int i = 0; i < 50; i++) {
    for (auto &v : vecs) v->insert(gid, {1, 0, 2, 3, 4});
    tsdb_migration_increment_sample_ex(10);
  }
  EXPECT_NE(tsdb_exit_migration(5500), 0);
  EXPECT_EQ(query_int(store.db(), "SELECT count(*) FROM migrations"), 1);
  EXPECT_EQ(query_int(store.db(), "SELECT count(*) FROM series"), 2);
}

// The format number decides who may open a store: any other number is refused
// by readers and by a migration alike, with a message saying whether an older
// or a newer version wrote it, and the store stays as it was.
TEST(StoreFormat, AnotherFormatIsRefusedByReadersAndMigrationsAndLeftAsItWas) {
  TempStore store;
  migrate(1000, 20, 1, 0);
  const int64_t chunks = query_int(store.db(), "SELECT count(*) FROM chunks");
  ASSERT_GT(chunks, 0);
  const std::pair<const char *, const char *> cases[] = {
      {"1", "store format 1 was written by an older version"},
      {"5", "store format 5 was written by a newer version"},
      {"abc", "the store is damaged: its format row holds 'abc', which names no store format"},
      {"04", "the store is damaged: its format row holds '04'"}};
  for (const auto &[format, says] : cases) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(store.db().c_str(), &db), SQLITE_OK);
    std::string sql = std::string("UPDATE store_info SET value = '") + format + "'";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    std::string err;
    db = orvtsdb::open_for_reading(store.db(), err);
    EXPECT_EQ(db, nullptr) << format;
    sqlite3_close(db);
    EXPECT_NE(err.find(says), std::string::npos) << err;

    testing::internal::CaptureStderr();
    EXPECT_LT(tsdb_init_migration(5000), 0) << format;
    tsdb_exit_migration(6000);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(says), std::string::npos) << said;
    EXPECT_EQ(query_int(store.db(), "SELECT count(*) FROM chunks"), chunks);
    EXPECT_EQ(query_int(store.db(), "SELECT count(*) FROM store_info WHERE value = '" +
                                        std::string(format) + "'"),
              1);
  }
}

/* Faults a reader finds in the store (store_reading.h). */

/* A format 2 store reads as written; a migration into it upgrades it in its
 * own transaction, and one that finds a damaged chunk there leaves it as it
 * was, format 2. */
TEST(StoreFormat, AFormat2StoreReadsAndTheNextMigrationUpgradesIt) {
  TempStore store;
  std::filesystem::copy_file(OLD_STORES_DIR "/format2_store/metrics.sqlite", store.db());
  const size_t written = samples(store.db()).size();
  ASSERT_GT(written, 0u);
  EXPECT_TRUE(faults_of(store.db()).empty());

  // A damaged chunk: the upgrade stops, nothing changes.
  std::string damaged = store.dir() + "/damaged.sqlite";
  std::filesystem::copy_file(store.db(), damaged);
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(damaged.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "UPDATE chunks SET data = substr(data, 1, 20) || x'00' || "
                         "substr(data, 22) WHERE rowid = 3",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  setenv("ORVTSDB_URL", ("sqlite:" + damaged).c_str(), 1);
  testing::internal::CaptureStderr();
  EXPECT_LT(tsdb_init_migration(5000), 0);
  tsdb_exit_migration(6000);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("not upgraded"), std::string::npos) << said;
  EXPECT_EQ(query_int(damaged, "SELECT value FROM store_info"), 2);
  EXPECT_EQ(query_int(damaged, "SELECT count(*) FROM sqlite_schema WHERE name = 'series_facts'"),
            0);

  setenv("ORVTSDB_URL", ("sqlite:" + store.db()).c_str(), 1);
  migrate(4000, 50, 3, 9);
  EXPECT_EQ(query_int(store.db(), "SELECT value FROM store_info"), 4);
  EXPECT_EQ(samples(store.db()).size(), written + 50 * 3 * 5);
  EXPECT_EQ(query_int(store.db(), "SELECT sum(chunks) FROM series_facts"),
            query_int(store.db(), "SELECT count(*) FROM chunks"));
  EXPECT_EQ(faults_of(store.db()), std::vector<std::string>{});
}

TEST(StoreArguments, BadArgumentsFailWithAMessageAndNeverCrash) {
  TempStore store;
  char err[TSDB_ERR_MSG_LEN];
  ASSERT_EQ(tsdb_init_migration(0), 0);
  EXPECT_LT(tsdb_register_gdf(nullptr, 1, nullptr, err), 0);
  EXPECT_NE(std::string(err).find("orvtsdb:"), std::string::npos);
  tsdb_metric_group g{};
  std::snprintf(g.group_name, sizeof g.group_name, "G");
  EXPECT_LT(tsdb_register_gdf(&g, -1, nullptr, err), 0);
  EXPECT_LT(tsdb_register_gdf(&g, 1, nullptr, nullptr), 0);
  tsdb_metric_info bad{};
  bad.data_type = 17;
  err[0] = 0;
  EXPECT_LT(tsdb_register_gdf(&g, 1, &bad, err), 0);
  EXPECT_NE(std::string(err).find("unknown data type"), std::string::npos) << err;
  register_group("Good", {0});

  EXPECT_EQ(tsdb_malloc_metric_id_buffer(0), nullptr);
  EXPECT_EQ(tsdb_malloc_metric_id_buffer(-3), nullptr);
  EXPECT_LT(tsdb_migration_increment_sample_ex(-5), 0);
  EXPECT_EQ(tsdb_delete_metric_by_id(nullptr, err), 0xFF);
  EXPECT_NE(std::string(err).find("metric id"), std::string::npos) << err;
  long foreign[4] = {1, 2, 3, 4};
  EXPECT_EQ(tsdb_delete_metric_by_id(foreign, nullptr), 0xFF);
  EXPECT_EQ(tsdb_init_migration(5), -1);  // already open
  ASSERT_EQ(tsdb_exit_migration(0), 0);

  // Each bad insert fails, says why, and stops its migration (which then
  // stores nothing): every one in a migration of its own.
  void *id = tsdb_malloc_metric_id_buffer(1);
  double x = 1;
  tag_val_ptr_t tv[1] = {{(char *)"Server", nullptr}};
  struct Case {
    const char *what;
    std::function<int(int gid)> insert;
    const char *message;
  } cases[] = {
      {"a null value",
       [&](int gid) {
         return tsdb_insert_bulk_metric_by_mg_gid_ex(tv, 0, 0, 0, 1, gid, 10, &x, 1, id, 0, err, 1);
       },
       "null text"},
      {"no tags",
       [&](int gid) {
         return tsdb_insert_bulk_metric_by_mg_gid_ex(nullptr, 0, 0, 0, 1, gid, 10, &x, 1, id, 0,
                                                     err, 1);
       },
       "tag/value list"},
      {"a negative count of tags",
       [&](int gid) {
         return tsdb_insert_bulk_metric_by_mg_gid_ex(nullptr, 0, 0, 0, -1, gid, 10, &x, 1, id, 0,
                                                     err, 1);
       },
       "tag/value list"},
      {"an unknown group",
       [&](int) {
         return tsdb_insert_bulk_metric_by_mg_gid_ex(nullptr, 0, 0, 0, 0, 999, 10, &x, 1, id, 0,
                                                     err, 1);
       },
       "not registered"},
      {"null data",
       [&](int gid) {
         return tsdb_insert_bulk_metric_by_mg_gid_ex(nullptr, 0, 0, 0, 0, gid, 10, nullptr, 1, id,
                                                     0, err, 1);
       },
       "data null"},
      {"a negative granularity",
       [&](int gid) {
         return tsdb_insert_bulk_metric_by_mg_gid_ex(nullptr, 0, 0, 0, 0, gid, -10, &x, 1, id, 0,
                                                     err, 1);
       },
       "granularity -10"},
      {"no metric id buffer",
       [&](int gid) {
         return tsdb_insert_bulk_metric_by_mg_gid_ex(nullptr, 0, 0, 0, 0, gid, 10, &x, 1, nullptr,
                                                     0, err, 1);
       },
       "null metric id buffer"},
      {"a negative count of elements",
       [&](int gid) {
         return tsdb_insert_bulk_metric_by_mg_gid_ex(nullptr, 0, 0, 0, 0, gid, 10, &x, 1, id, 0,
                                                     nullptr, -1);
       },
       "-1 elements"},
      // An unfilled, foreign or null metric id buffer.
      {"an unfilled id", [&](int) { return tsdb_insert_bulk_metric_by_id(0, id, 10, &x, 1, 0, 1); },
       "names no series"},
      {"a foreign id",
       [&](int) { return tsdb_insert_bulk_metric_by_id(0, foreign, 10, &x, 1, 0, 1); },
       "names no series"},
      {"a null id", [&](int) { return tsdb_insert_bulk_metric_by_id(0, nullptr, 10, &x, 1, 0, 1); },
       "names no series"},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(tsdb_init_migration(0), 0);
    int gid = register_group("Good", {0});
    err[0] = 0;
    testing::internal::CaptureStderr();
    EXPECT_LT(c.insert(gid), 0) << c.what;
    EXPECT_EQ(tsdb_exit_migration(0), -1) << c.what;
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(c.message), std::string::npos) << c.what << ": " << said;
  }
  EXPECT_EQ(samples(store.db()).size(), 0u);

  // By id: another count of graphs or of elements than the first insert's.
  ASSERT_EQ(tsdb_init_migration(0), 0);
  int gid = register_group("Good", {0});
  ASSERT_EQ(
      tsdb_insert_bulk_metric_by_mg_gid_ex(nullptr, 0, 0, 0, 0, gid, 10, &x, 1, id, 0, err, 1), 0);
  ASSERT_EQ(tsdb_exit_migration(0), 0);
  for (auto [graphs, elements] : {std::pair{2, 1}, std::pair{1, 2}}) {
    ASSERT_EQ(tsdb_init_migration(0), 0);
    gid = register_group("Good", {0});
    std::free(id);
    id = tsdb_malloc_metric_id_buffer(1);
    ASSERT_EQ(
        tsdb_insert_bulk_metric_by_mg_gid_ex(nullptr, 0, 0, 0, 0, gid, 10, &x, 1, id, 0, err, 1),
        0);
    testing::internal::CaptureStderr();
    EXPECT_LT(tsdb_insert_bulk_metric_by_id(0, id, 10, &x, graphs, 0, elements), 0);
    EXPECT_EQ(tsdb_exit_migration(0), -1);
    testing::internal::GetCapturedStderr();
  }
  // A stale id: one of a migration that has ended.
  EXPECT_LT(tsdb_insert_bulk_metric_by_id(0, id, 10, &x, 1, 0, 1), 0);
  tsdb_free_metric_id_buffer(id);
  tsdb_free_metric_id_buffer(nullptr);
  EXPECT_EQ(samples(store.db()).size(), 1u);
}

TEST(StoreLocation, WithoutALocationCallsFailWithAMessage) {
  unsetenv("ORVTSDB_URL");
  unsetenv("ORVTSDB_RUN_DIR");
  testing::internal::CaptureStderr();
  EXPECT_LT(tsdb_init_migration(0), 0);
  char err[TSDB_ERR_MSG_LEN] = "";
  tsdb_metric_group g{};
  std::snprintf(g.group_name, sizeof g.group_name, "G");
  EXPECT_LT(tsdb_register_gdf(&g, 0, nullptr, err), 0);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string(err).find("ORVTSDB_RUN_DIR"), std::string::npos) << err;
  EXPECT_NE(said.find("ORVTSDB_RUN_DIR"), std::string::npos) << said;
  setenv("ORVTSDB_URL", "postgres://x", 1);
  EXPECT_LT(tsdb_register_gdf(&g, 0, nullptr, err), 0);
  EXPECT_NE(std::string(err).find("sqlite:"), std::string::npos) << err;
  unsetenv("ORVTSDB_URL");
}

// SQLite opens a file by a full path of at most about 500 characters: a
// store at a longer one is refused by name before anything is made, by the
// writer and by readers alike; one that fits is made and read.
TEST(StoreLocation, APathTooLongForSQLiteIsRefusedByName) {
  TempStore tmp;
  std::string dir = tmp.dir();
  while (dir.size() < 420) dir += "/" + std::string(50, 'd');
  std::filesystem::create_directories(dir);
  std::string fits = dir + "/s.sqlite", too_long = dir + "/" + std::string(100, 'x') + ".sqlite";
  setenv("ORVTSDB_URL", ("sqlite:" + too_long).c_str(), 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(tsdb_init_migration(0), -1);
  EXPECT_EQ(tsdb_exit_migration(0), -1);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find(too_long + ": its full path has"), std::string::npos) << said;
  EXPECT_FALSE(std::filesystem::exists(too_long));
  setenv("ORVTSDB_URL", ("sqlite:" + fits).c_str(), 1);
  migrate(0, 3, 1, 0);
  EXPECT_EQ(samples(fits).size(), 3u * 5);
  std::filesystem::copy_file(fits, too_long);
  std::string path, err;
  sqlite3 *db = orvtsdb::open_store_for_reading(too_long, &path, err);
  EXPECT_EQ(db, nullptr);
  sqlite3_close(db);
  EXPECT_NE(err.find(too_long + ": its full path has"), std::string::npos) << err;
}

TEST(StoreLocation, RunDirectoryStoreIsMadeWithTheExecutablesMkdirEx) {
  TempStore tmp;
  unsetenv("ORVTSDB_URL");
  std::string run = tmp.dir() + "/logs/TR7";
  setenv("ORVTSDB_RUN_DIR", run.c_str(), 1);
  int calls = g_mkdir_ex_calls;
  migrate(0, 3, 1, 0);
  unsetenv("ORVTSDB_RUN_DIR");
  EXPECT_GT(g_mkdir_ex_calls, calls);
  EXPECT_EQ(samples(run + "/tsdb/metrics.sqlite").size(), 3u * 5);
}

}  // namespace
