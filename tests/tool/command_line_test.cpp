/*
 * command_line_test.cpp - options and run setup: the globals a command line
 * leaves (parsed in-process), and the refusals with their messages, streams
 * and exit status (the real binary).
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

/* Parses `args` in this process against a run 1, from the designed initial
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

TEST_F(ParseArgs, DumpSizeInMebibytesWithinOneTo2047) {
  parse({"-t", "1", "-g", "1", "-w", "10", "--Include=1"});
  EXPECT_EQ(1, dump_data_flag);
  EXPECT_EQ(10485760, g_file_size);
  EXPECT_EQ(1, file_size_flag);
  EXPECT_EQ(0, not_include_generator) << "--Include selects \"Include Genrator\"";

  SetUp();
  parse({"-t", "1", "-g", "1", "--File_size", "2047"});
  EXPECT_EQ(2047 << 20, g_file_size);

  for (const char *bad : {"0", "2048"}) {
    SetUp();
    testing::internal::CaptureStderr();
    parse({"-t", "1", "-g", "1", "-w", bad, "-D", "2"});
    EXPECT_EQ("Log fize is not between 1 & 200\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(INT_MIN, g_file_size) << bad;
    EXPECT_EQ(0, file_size_flag) << bad;
    EXPECT_EQ(0xFFFFu, sd_log_tracing_level) << "parsing goes on";
  }
}

/* ---- process level: each refusal exits with status 255 ---- */

struct Refusal {
  std::vector<std::string> args;
  std::string out;     /* all of standard output */
  std::string err_end; /* how standard error ends */
};

TEST(CommandLineRefusal, EachProblemGetsItsMessage) {
  TempRun run(5);
  run.partition("20230101000000");
  run.write("20230102000000", "a file, not a partition folder\n");
  const Refusal cases[] = {
      {{}, "", kUsageBody},
      {{"-t", "9"}, "", " | Testrun 9 not found, exiting! [No such file or directory] \n"},
      {{"-t", "5", "--source_testrun", "5"}, "", "--test_run can not given multiple time\n"},
      /* an empty value is a value: run 0 */
      {{"-t", ""}, "", " | Testrun 0 not found, exiting! [No such file or directory] \n"},
      /* -s is looked up when it is read: the first bad one ends the run */
      {{"-t", "5", "-s", "20230103000000", "-s", "20230101000000"},
       "Error: No given partition present 20230103000000",
       ""},
      {{"-t", "5", "-s", "20230103000000", "-t", "6"},
       "Error: No given partition present 20230103000000",
       ""},
      {{"-s", "20230101000000", "-t", "5"}, "Error: No given partition present 20230101000000", ""},
      {{"-t", "5", "-e", "20230102000000"}, "Error: No given partition present 20230102000000", ""},
      {{"-t", "5", "-w", "10", "-g", "1"},
       "",
       "Dump file data option 'g' must be on with 'w' option"},
  };
  for (const auto &c : cases) {
    std::string label;
    for (auto &a : c.args) label += a + " ";
    auto r = run_tool(run, c.args);
    EXPECT_EQ(255, r.status) << label;
    EXPECT_EQ(c.out, r.out) << label;
    EXPECT_TRUE(ends_with(r.err, c.err_end)) << label << "=> " << r.err;
  }
}

TEST(CommandLineRefusal, UnknownOptionAndMissingValueAreReportedAndParsingGoesOn) {
  TempRun run(1);
  auto r = run_tool(run, {"-x", "-t"});
  EXPECT_EQ(255, r.status);
  /* the first message carries a freshly refreshed stamp */
  const std::string first = " 99/99/99  99:99:99 | Invalid Argument!\n";
  std::string got = r.err.substr(0, first.size());
  for (char &ch : got)
    if (ch >= '0' && ch <= '9') ch = '9';
  EXPECT_EQ(first, got) << r.err;
  EXPECT_NE(std::string::npos, r.err.find(" | --Mandatory argument missing\n")) << r.err;
  EXPECT_TRUE(ends_with(r.err, kUsageBody));
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
  std::filesystem::create_directories(path + "/logs/TR1");
  return path;
}

TEST(CommandLineRefusal, TooLongWorkDirectoryIsRefusedFirst) {
  TempRun run(1);
  const size_t kMax = TW_PATH_LEN - 256 - 1;
  const std::vector<std::string> args = {"-t", "1", "-s", "20230101000000"};
  auto r = run_tool(run, args, {{"TW_WDIR", make_path_of_length(run.wdir(), kMax)}});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("Error: No given partition present 20230101000000", r.out) << "accepted";

  r = run_tool(run, args, {{"TW_WDIR", make_path_of_length(run.wdir(), kMax + 1)}});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("ERROR : TW_WDIR is too long (768 characters, at most 767 allowed), exiting!\n", r.err);
}

}  // namespace
