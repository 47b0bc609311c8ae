/*
 * rtg_reader_test.cpp - the frequency rule at the edges of its table, the
 * files the packet walk is not handed, and the count of raw sample file
 * versions in a partition.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "vira_zedazad_uvoz_izu.h"
#include "vzu_test_support.h"

namespace {

struct Rule {
  int interval_ms;
  int frequency; /* g_frequency after the call */
  int merge;     /* packet_count_to_merge */
  int changed;   /* frequency_changed */
};

/* Beyond one day or below one second nothing changes (33, 6, 5 are the
 * values from before the call). */
TEST(FrequencyRule, EdgesOfTheTableAndOutsideIt) {
  const Rule rules[] = {
      {1000, 1, 1, 0},         {1500, 1, 1, 0},        {60000, 60, 1, 0},
      {86400000, 86400, 1, 0}, {5000, 10, 2, 1},       {7000, 10, 1, 1},
      {9999, 10, 1, 1},        {15000, 60, 4, 1},      {90000, 600, 6, 1},
      {1800000, 3600, 2, 1},   {7200000, 14400, 2, 1}, {43200000, 86400, 2, 1},
      {86399000, 86400, 1, 1}, {86401000, 33, 6, 5},   {999, 33, 6, 5},
      {0, 33, 6, 5},           {-86400000, 33, 6, 5},
  };
  for (const Rule &r : rules) {
    g_frequency = 33;
    int changed = 5, merge = 6;
    calculate_packet_count_to_merge(r.interval_ms, &changed, &merge);
    EXPECT_EQ(r.frequency, g_frequency) << r.interval_ms;
    EXPECT_EQ(r.merge, merge) << r.interval_ms;
    EXPECT_EQ(r.changed, changed) << r.interval_ms;
  }
}

class RawFile : public testing::Test {
 protected:
  std::string dir() const { return run_.partition("20240101000000"); }
  /* A file of `size` bytes (sparse, so large sizes cost nothing). */
  std::string make(const std::string &name, off_t size) const {
    std::string path = dir() + "/" + name;
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(0, ftruncate(fd, size));
    close(fd);
    return path;
  }
  /* Calls read_rtg_file on `path`; any hand-over to the writer would read it. */
  std::string read_rtg(const std::string &path, int packet_size) {
    tr_gdf_struct v{};
    snprintf(v.rtg_path, sizeof v.rtg_path, "%s", path.c_str());
    partition_struct part{};
    testing::internal::CaptureStderr();
    read_rtg_file(&v, packet_size, tw_wdir, &part, 0, 1);
    return testing::internal::GetCapturedStderr();
  }
  vzu_test::TempRun run_;
};

/* Single-packet files are not handed over (the writer would read them);
 * missing ones and files of 2 GiB and more are skipped naming the file. */
TEST_F(RawFile, OnlyFilesTheWriterCanAddressAreHandedOver) {
  EXPECT_NE(std::string::npos, read_rtg(dir() + "/absent.dat", 512).find("absent.dat' skipped"));
  EXPECT_EQ("", read_rtg(make("rtgMessage.dat", 512), 512));
  std::string path = make("rtgMessage.dat.1", 2147483648LL);
  std::string err = read_rtg(path, 512);
  EXPECT_NE(std::string::npos, err.find(path)) << err;
  EXPECT_NE(std::string::npos, err.find("2 GiB")) << err;
}

TEST_F(RawFile, VersionCountCountsRegularRawSampleFilesOnly) {
  make("rtgMessage.dat", 0);
  make("rtgMessage.dat.1", 0);
  make("rtgMessage.dat.2", 0);
  make("testrun.gdf", 0);
  mkdir((dir() + "/rtgMessage.dir").c_str(), 0755);
  EXPECT_EQ(2, get_no_of_rtg(dir().data()));
  make("rtgMessage.dat.3", 0);
  EXPECT_EQ(3, get_no_of_rtg(dir().data()));
  std::string missing = dir() + "/nowhere";
  EXPECT_EQ(1, get_no_of_rtg(missing.data()));
}

}  // namespace
