/*
 * migration_loop_test.cpp - pairing of data versions under the num_rtg
 * bound, and (running the tool) the refusal of an inverted range and the
 * run directory the store is told. Damaged first raw sample files are in
 * tests/bad_input.
 */
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "vira_zedazad_uvoz_izu.h"
#include "vzu_test_support.h"

using vzu_test::run_tool;
using vzu_test::TempRun;

namespace {

/* One partition row over a folder of `run`, with the version files given. */
class Versions : public testing::Test {
 protected:
  void make(const std::vector<std::string> &files) {
    std::filesystem::remove_all(run_.path("20230101000000"));
    dir_ = run_.partition("20230101000000");
    for (auto &f : files) run_.write("20230101000000/" + f, "x");
    row_ = partition_struct{};
    snprintf(row_.partition_idx, sizeof row_.partition_idx, "%s", dir_.c_str());
  }
  /* Version numbers found, read back from the paired paths. */
  std::vector<int> find(int num_rtg) {
    EXPECT_EQ(0, get_next_version(&row_, 0, nullptr, num_rtg));
    EXPECT_EQ(row_.testrun_gdf_count, row_.rtg_count);
    EXPECT_EQ(row_.max_testrun_gdf_count, row_.max_rtg_count);
    std::vector<int> found;
    for (int i = 0; i < row_.rtg_count; i++) {
      std::string gdf = row_.gdf_struct_arr[i].testrun_gdf_path;
      std::string rtg = row_.gdf_struct_arr[i].rtg_path;
      if (gdf == dir_ + "/testrun.gdf") {
        EXPECT_EQ(dir_ + "/rtgMessage.dat", rtg);
        found.push_back(0);
      } else {
        int n = atoi(gdf.substr(gdf.rfind('.') + 1).c_str());
        EXPECT_EQ(dir_ + "/testrun.gdf.diff." + std::to_string(n), gdf);
        EXPECT_EQ(dir_ + "/rtgMessage.dat." + std::to_string(n), rtg);
        found.push_back(n);
      }
    }
    free(row_.gdf_struct_arr);
    return found;
  }

  TempRun run_{1};
  std::string dir_;
  partition_struct row_{};
};

/* A missing pair ends the search at the num_rtg bound and is skipped below
 * it; without the base pair the first diff is tried. */
TEST_F(Versions, PairsFoundUnderTheBound) {
  struct {
    std::vector<std::string> files;
    int num_rtg;
    std::vector<int> found;
  } cases[] = {
      {{"testrun.gdf", "rtgMessage.dat", "testrun.gdf.diff.1", "rtgMessage.dat.1",
        "testrun.gdf.diff.3", "rtgMessage.dat.3"},
       3 / 2 + 1,
       {0, 1}},
      {{"testrun.gdf", "rtgMessage.dat", "testrun.gdf.diff.1", "rtgMessage.dat.1",
        "rtgMessage.dat.2", "testrun.gdf.diff.3", "rtgMessage.dat.3"},
       4 / 2 + 1,
       {0, 1, 3}},
      {{"testrun.gdf.diff.1", "rtgMessage.dat.1"}, 1 / 2 + 1, {1}},
  };
  for (auto &c : cases) {
    make(c.files);
    EXPECT_EQ(c.found, find(c.num_rtg)) << c.files.size() << " files";
  }
}

/* ---- process level ---- */

/* Which partitions a range selects, the totals lines and the start time
 * taken from the first packet are checked elsewhere (the partition table and
 * the end-to-end runs); here the refusal of an inverted range. */
TEST(LoopProcess, InvertedRangeIsRefused) {
  TempRun run(1);
  for (auto p : {"20230101000000", "20230102000000", "20230103000000"}) run.partition(p);
  auto r = run_tool(run, {"-t", "1", "-s", "20230103000000", "-e", "20230102000000"});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("Error: End partition is not less than start partition\n", r.err);
  EXPECT_EQ(std::string::npos, r.out.find("In partition [")) << r.out;
}

/* The store reads its run directory from ORVTSDB_RUN_DIR; the import command
 * that the finish starts inherits the same environment, so a stand-in
 * twu_import on PATH shows what the store saw. */
std::string store_run_dir_seen(const TempRun &run, const std::string &preset) {
  std::string bin = run.wdir() + "/fakebin";
  std::string seen = run.wdir() + "/run_dir_seen";
  mkdir(bin.c_str(), 0755);
  vzu_test::write_file(bin + "/twu_import",
                       "#!/bin/sh\nprintf '%s' \"$ORVTSDB_RUN_DIR\" > '" + seen + "'\n");
  chmod((bin + "/twu_import").c_str(), 0755);
  std::vector<std::pair<std::string, std::string>> env = {{"PATH", bin + ":" + getenv("PATH")}};
  if (!preset.empty()) env.push_back({"ORVTSDB_RUN_DIR", preset});
  /* An empty partition stores nothing, so the run ends refused, but only
   * after the finish has started the import. */
  auto r = run_tool(run, {"-t", "1"}, env);
  EXPECT_EQ(255, r.status) << r.err;
  return vzu_test::read_file(seen);
}

/* A value left in the caller's environment names another run: its store
 * and run id would take this run's samples. */
TEST(LoopProcess, StoreLearnsTheDestinationRunDirectory) {
  TempRun run(1);
  run.partition("20230101000000");
  EXPECT_EQ(run.run_dir(), store_run_dir_seen(run, ""));
  EXPECT_EQ(run.run_dir(), store_run_dir_seen(run, "/elsewhere/TR9"));
}

}  // namespace
