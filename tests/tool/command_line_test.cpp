/*
 * command_line_test.cpp - options and run setup: the globals each command
 * line leaves (parsed in-process), and the refusals with their messages,
 * streams and exit status (the real binary).
 */
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "vira_zedazad_uvoz_izu.h"
#include "vzu_test_support.h"

using vzu_test::run_tool;
using vzu_test::TempRun;

namespace {

const char kUsageBody[] =
    " | vira_zedazad_uvoz_izu  --source_testrun <source testrun which is to be replay>"
    "--dest_testrun <Destination test run>--start_partition<start partition> (Optional)"
    "--end_partition<end_partition> (Optional)--Debug_log(debug logs)(By Default 1)"
    "--frequency <frequency>(By default 60 seconds)\n";

bool ends_with(const std::string &s, const std::string &tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

/* Parses `args` in this process against `run`, from the designed initial
 * values of the globals. */
class ParseArgs : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TW_WDIR", run_.wdir().c_str(), 1);
    snprintf(tw_wdir, sizeof tw_wdir, "%s", run_.wdir().c_str());
    g_testrun = g_dest_testrun = -1;
    g_start_partition_idx = g_end_partition_idx = -1;
    g_debug_level = 0;
    sd_log_tracing_level = 0;
    dump_data_flag = g_file_size = file_size_flag = 0;
    not_include_generator = 1;
  }
  void parse(std::vector<std::string> args) {
    args.insert(args.begin(), "vira_zedazad_uvoz_izu");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    parse_and_validate_arg(static_cast<int>(args.size()), argv.data(), tw_wdir);
  }
  TempRun run_{1};
};

TEST_F(ParseArgs, WithoutBoundsTheWholeRunIsSelected) {
  parse({"--source_testrun=1", "-f", "300", "stray"});
  EXPECT_EQ(1, g_testrun);
  EXPECT_EQ(1, g_dest_testrun);
  EXPECT_EQ(1, g_start_partition_idx);
  EXPECT_EQ(1, g_end_partition_idx);
  EXPECT_EQ(0u, sd_log_tracing_level);
  EXPECT_EQ(1, not_include_generator);
  EXPECT_EQ(0, dump_data_flag);
}

TEST_F(ParseArgs, BoundsNameExistingPartitions) {
  run_.partition("20230101000000");
  run_.partition("20230102000000");
  parse({"-t", "1", "-s", "20230101000000", "--end=20230102000000"});
  EXPECT_EQ(20230101000000L, g_start_partition_idx);
  EXPECT_EQ(20230102000000L, g_end_partition_idx);
}

TEST_F(ParseArgs, DumpSizeInMebibytesWithinOneTo2047) {
  parse({"-t", "1", "-g", "1", "-w", "10"});
  EXPECT_EQ(1, dump_data_flag);
  EXPECT_EQ(10485760, g_file_size);
  EXPECT_EQ(1, file_size_flag);

  SetUp();
  parse({"-t", "1", "-g", "1", "--File_size", "2047"});
  EXPECT_EQ(2047 << 20, g_file_size);

  for (const char *bad : {"0", "2048", "-3"}) {
    SetUp();
    testing::internal::CaptureStderr();
    parse({"-t", "1", "-g", "1", "-w", bad});
    EXPECT_EQ("Log fize is not between 1 & 200\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(INT_MIN, g_file_size) << bad;
    EXPECT_EQ(0, file_size_flag) << bad;
    EXPECT_EQ(1, g_testrun) << "parsing goes on";
  }
}

TEST_F(ParseArgs, IncludeGeneratorByUnambiguousPrefix) {
  parse({"-t", "1", "--Include=1"});
  EXPECT_EQ(0, not_include_generator);
  SetUp();
  parse({"--Include Genrator", "1", "-t", "1"});
  EXPECT_EQ(0, not_include_generator);
}

TEST_F(ParseArgs, UnknownOptionIsReportedAndParsingGoesOn) {
  testing::internal::CaptureStderr();
  parse({"-x", "-t", "1", "-D", "1"});
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(ends_with(err, " | Invalid Argument!\n")) << err;
  EXPECT_EQ(1, g_testrun);
  EXPECT_EQ(0xFFu, sd_log_tracing_level);
}

TEST(DebugLevel, MapsLevelsOntoCategoryMasks) {
  const struct {
    int level;
    unsigned mask;
  } cases[] = {{0, 0u}, {1, 0xFFu}, {2, 0xFFFFu}, {3, 0xFFFFFFu},
               {4, 0xFFFFFFFFu}, {7, 0u}, {-1, 0u}};
  for (auto c : cases) {
    g_debug_level = c.level;
    sd_log_tracing_level = 0;
    check_and_set_debug_level();
    EXPECT_EQ(c.mask, sd_log_tracing_level) << "level " << c.level;
  }
  g_debug_level = 0;
  sd_log_tracing_level = 0;
}

TEST(CheckTestRunExists, ReportsTheSystemErrorText) {
  TempRun run(3);
  char errmsg[TW_PATH_LEN] = "";
  std::string wdir = run.wdir();
  EXPECT_EQ(0, check_test_run_exists(3, wdir.data(), errmsg));
  EXPECT_EQ(1, check_test_run_exists(4, wdir.data(), errmsg));
  EXPECT_STREQ("No such file or directory", errmsg);
}

/* ---- process level: refusals ---- */

TEST(CommandLineRefusal, NoArgumentsPrintsMandatoryMessageAndUsage) {
  TempRun run(1);
  auto r = run_tool(run, {});
  EXPECT_EQ(255, r.status);
  EXPECT_NE(std::string::npos, r.err.find(" | --Mandatory argument missing\n")) << r.err;
  EXPECT_TRUE(ends_with(r.err, kUsageBody)) << r.err;
  EXPECT_EQ("", r.out);
}

TEST(CommandLineRefusal, MissingRunAndRepeatedRun) {
  TempRun run(1);
  auto r = run_tool(run, {"-t", "9"});
  EXPECT_EQ(255, r.status);
  EXPECT_TRUE(ends_with(r.err, " | Testrun 9 not found, exiting! [No such file or directory] \n"))
      << r.err;

  r = run_tool(run, {"-t", "1", "--source_testrun", "1"});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("--test_run can not given multiple time\n", r.err);
}

TEST(CommandLineRefusal, EmptyValueAndMissingValue) {
  TempRun run(1);
  auto r = run_tool(run, {"-t", ""});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("Value not given for option -t", r.out);
  EXPECT_TRUE(ends_with(r.err, kUsageBody)) << r.err;

  /* getopt_long itself finds the value missing: reported, parsing goes on */
  r = run_tool(run, {"-t"});
  EXPECT_EQ(255, r.status);
  EXPECT_NE(std::string::npos, r.err.find(" | Invalid Argument!\n")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find(" | --Mandatory argument missing\n")) << r.err;
}

TEST(CommandLineRefusal, StartBeforeRunIsLookedUpUnderRunMinusOne) {
  TempRun run(5);
  run.partition("20230101000000");
  auto r = run_tool(run, {"-s", "20230101000000", "-t", "5"});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("Error: No given partition present 20230101000000", r.out);
}

TEST(CommandLineRefusal, DumpSizeNeedsDumpFirst) {
  TempRun run(1);
  auto r = run_tool(run, {"-t", "1", "-w", "10", "-g", "1"});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("Dump file data option 'g' must be on with 'w' option", r.err);
}

TEST(CommandLineRefusal, WorkDirectoryUnset) {
  TempRun run(1);
  auto r = run_tool(run, {"-t", "1"}, {{"TW_WDIR", "\x01unset"}});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("ERROR : TW_WDIR not set, exiting!\n", r.err);
}

/* Makes <base>/d/d/... so that the whole path is exactly `len` characters. */
std::string make_path_of_length(const std::string &base, size_t len) {
  std::string path = base;
  while (path.size() < len) {
    size_t room = len - path.size() - 1; /* after the "/" */
    size_t part = room < 200 ? room : 200;
    if (room - part == 1) part--; /* never leave room for a "/" alone */
    path += "/" + std::string(part, 'd');
  }
  std::filesystem::create_directories(path);
  return path;
}

TEST(CommandLineRefusal, TooLongWorkDirectoryIsRefusedBeforeAnythingIsWritten) {
  TempRun run(1);
  const size_t kMax = TW_PATH_LEN - 256 - 1;
  std::string longest = make_path_of_length(run.wdir(), kMax);
  std::filesystem::create_directories(longest + "/logs/TR1");
  auto r = run_tool(run, {"-t", "1", "-D", "1", "-s", "20230101000000"},
                    {{"TW_WDIR", longest}});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("Error: No given partition present 20230101000000", r.out) << "accepted";

  std::string too_long = make_path_of_length(run.wdir(), kMax + 1);
  std::filesystem::create_directories(too_long + "/logs/TR1");
  r = run_tool(run, {"-t", "1", "-D", "1", "-s", "20230101000000"},
               {{"TW_WDIR", too_long}});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_NE(std::string::npos, r.err.find("TW_WDIR is too long")) << r.err;
  EXPECT_FALSE(std::filesystem::exists(too_long + "/logs/TR1/debug_zevi_zazozoz.log"));
}

}  // namespace
