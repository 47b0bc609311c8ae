/*
 * bad_input_test.cpp - damaged runs never hang the tool, shift time or fail
 * without a word.
 *
 * One small run is generated and migrated once into the real store; every
 * case copies that run (store included), damages one thing, migrates it
 * again under a time limit and checks the exit status, the message on
 * standard error and, for a refusal, that the store still holds exactly what
 * it held before (the refused migration was never committed). Cases are
 * grouped by family: the first packet's start time, later packets, the
 * definition lines, files that are not regular files, and the text form of
 * definition files (which must not change what is stored).
 */
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "rtg_packet.h"
#include "vzu_test_support.h"

using namespace vzu_test;
namespace fs = std::filesystem;

namespace {

constexpr int kTestrun = 1;
constexpr int kLimitMs = 20000;

/* The run as generated: its two partitions and its packet size. */
struct Layout {
  std::string p0, p1; /* partition folder names, ascending */
  int packet_size = 0;
};

/* The stored samples, as the store's command exports them. */
std::string stored_samples(const TempRun &run) {
  RunResult e = run_program(bin_dir() + "/orvtsdb", {"export", run.run_dir(), "--format", "csv"},
                            real_store_env());
  EXPECT_EQ(0, e.status) << e.err;
  return e.out;
}

/* What the store holds: its migrations (one row per successful migration)
 * and its samples. */
std::string store_state(const TempRun &run) {
  RunResult m = run_program(bin_dir() + "/orvtsdb",
                            {"sql", run.run_dir(), "SELECT count(*) FROM migrations"},
                            real_store_env());
  return m.out + "\n" + stored_samples(run);
}

RunResult migrate(const TempRun &run, std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"-t", std::to_string(kTestrun)};
  args.insert(args.end(), extra.begin(), extra.end());
  Env env = real_store_env();
  env.push_back({"TW_WDIR", run.wdir()});
  return run_program(tool_path(), args, env, kLimitMs);
}

/* Field n of the first line (the Info line) as a number. */
int info_field(const std::string &text, int n) {
  size_t a = 0;
  for (int i = 0; i < n; ++i) a = text.find('|', a) + 1;
  return std::atoi(text.c_str() + a);
}

/* A generated, once-migrated run that every case starts from. */
class BadInput : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    base_ = new TempRun(kTestrun);
    RunResult g = run_program(
        bin_dir() + "/make_sample_run",
        {"--wdir", base_->wdir(), "--testrun", std::to_string(kTestrun), "--groups", "5",
         "--vectors", "2", "--packets", "6", "--partitions", "2", "--versions", "1"},
        real_store_env());
    ASSERT_EQ(0, g.status) << g.err;
    std::vector<std::string> parts;
    for (auto &e : fs::directory_iterator(base_->run_dir()))
      if (e.is_directory()) parts.push_back(e.path().filename());
    std::sort(parts.begin(), parts.end());
    ASSERT_EQ(2u, parts.size());
    layout_.p0 = parts[0];
    layout_.p1 = parts[1];
    layout_.packet_size = info_field(base_->read(parts[0] + "/testrun.gdf"), 5);
    ASSERT_EQ(0, migrate(*base_).status);
    baseline_ = store_state(*base_);
    /* What a second, undamaged migration of the run leaves. */
    auto again = copy();
    ASSERT_EQ(0, migrate(*again).status);
    samples_ = stored_samples(*again);
  }
  static void TearDownTestSuite() { delete base_; }

  struct Case {
    const char *name;
    std::function<void(const TempRun &, const Layout &)> damage;
    int status;          /* expected exit status */
    std::string message; /* expected on standard error */
  };

  /* Runs every case on a fresh copy; a refusal (status 255) must come last
   * on standard error and leave the store as it was. */
  void expect(const std::vector<Case> &cases) const {
    for (const Case &c : cases) {
      SCOPED_TRACE(c.name);
      auto run = copy();
      c.damage(*run, layout_);
      RunResult r = migrate(*run);
      ASSERT_FALSE(r.timed_out) << "still running after " << kLimitMs << " ms";
      EXPECT_EQ(c.status, r.status) << r.out << r.err;
      EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
      if (c.status != 255) continue;
      auto lines = split_lines(r.err);
      ASSERT_FALSE(lines.empty());
      EXPECT_NE(std::string::npos, lines.back().find(c.message)) << "the refusal comes last";
      EXPECT_EQ(baseline_, store_state(*run)) << "the store changed";
    }
  }

  /* A fresh copy of the migrated run. */
  static std::unique_ptr<TempRun> copy() {
    auto run = std::make_unique<TempRun>(kTestrun);
    fs::copy(base_->run_dir(), run->run_dir(), fs::copy_options::recursive);
    return run;
  }

  static TempRun *base_;
  static Layout layout_;
  static std::string baseline_, samples_;
};

TempRun *BadInput::base_ = nullptr;
Layout BadInput::layout_;
std::string BadInput::baseline_, BadInput::samples_;

/* ---- damage helpers: each takes the copied run and the layout ---- */

using Damage = std::function<void(const TempRun &, const Layout &)>;

/* Writes a double into packet k of a raw sample file at byte `field`. */
void set_f64(const TempRun &run, const std::string &rel, int packet_size, int k, int field,
             double v) {
  std::string data = run.read(rel);
  ASSERT_LE(static_cast<size_t>((k + 1) * packet_size), data.size());
  memcpy(&data[k * packet_size + field], &v, sizeof v);
  write_file(run.path(rel), data);
}

Damage stamp(bool second, int k, double v) {
  return [=](const TempRun &run, const Layout &l) {
    set_f64(run, (second ? l.p1 : l.p0) + "/rtgMessage.dat", l.packet_size, k, RTG_HDR_TS_OFF, v);
  };
}

Damage seq(int k, double v) {
  return [=](const TempRun &run, const Layout &l) {
    set_f64(run, l.p0 + "/rtgMessage.dat", l.packet_size, k, RTG_HDR_SEQ_OFF, v);
  };
}

/* Replaces a graph definition file's text through `edit`. */
Damage edit_gdf(bool second, std::function<std::string(std::string)> edit) {
  return [=](const TempRun &run, const Layout &l) {
    std::string rel = (second ? l.p1 : l.p0) + "/testrun.gdf";
    write_file(run.path(rel), edit(run.read(rel)));
  };
}

/* Inserts `lines` right after the Info line of the first partition's file. */
Damage after_info(const std::string &lines) {
  return edit_gdf(false, [=](std::string t) { return t.insert(t.find('\n') + 1, lines); });
}

/* Field n of the first partition's Info line replaced. */
Damage info_field(int n, long long value) {
  return edit_gdf(false, [=](std::string t) {
    size_t a = 0;
    for (int i = 0; i < n; ++i) a = t.find('|', a) + 1;
    return t.replace(a, t.find('|', a) - a, std::to_string(value));
  });
}

/* The Info line's packet size (field 5) replaced. */
Damage packet_size(int size) { return info_field(5, size); }

/* A file of the run replaced by something else. */
Damage replace_with(bool second, const char *file, std::function<void(const std::string &)> make) {
  return [=](const TempRun &run, const Layout &l) {
    std::string path = run.path((second ? l.p1 : l.p0) + "/" + file);
    fs::remove(path);
    make(path);
  };
}
const auto fifo = [](const std::string &p) { ASSERT_EQ(0, mkfifo(p.c_str(), 0644)); };
const auto folder = [](const std::string &p) { fs::create_directory(p); };
const auto dev_zero = [](const std::string &p) { fs::create_symlink("/dev/zero", p); };
const auto link_loop = [](const std::string &p) { fs::create_symlink(p, p); };
const auto random_bytes = [](const std::string &p) {
  std::mt19937 rng(7);
  std::string data(20000, '\0');
  for (auto &c : data) c = static_cast<char>(rng());
  write_file(p, data);
};

/* Text of every definition file rewritten (the text-form family). */
Damage all_gdfs(std::function<std::string(std::string)> edit) {
  return [=](const TempRun &run, const Layout &l) {
    for (auto &p : {l.p0, l.p1})
      write_file(run.path(p + "/testrun.gdf"), edit(run.read(p + "/testrun.gdf")));
  };
}

std::string crlf(std::string t) {
  std::string out;
  for (char c : t) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}
std::string no_final_newline(std::string t) { return t.substr(0, t.size() - 1); }

const std::string kBadGroup = "Group|Bad|2000|vector|1|0|M|-|D\n";

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const std::string kGroupFields = "Error in reading Group line: no. of fields are not correc";
const std::string kGraphFields = "Error in reading Group line: no. of fields are not correct";

/* The first packet of the first file gives the run's start time: a stamp
 * with no count of milliseconds, or a file too short for one, is refused;
 * any other stamp is the run's own, however far from today. */
TEST_F(BadInput, StartTimeThatIsNoCountIsRefused) {
  const std::string at0 = "refused at packet 0: time stamp ";
  expect({
      {"NaN", stamp(false, 0, kNaN), 255, at0 + "nan ms is no count of milliseconds"},
      {"Inf", stamp(false, 0, kInf), 255, at0 + "inf ms is no count of milliseconds"},
      {"1e300", stamp(false, 0, 1e300), 255, at0 + "1e+300 ms is no count of milliseconds"},
      {"47 bytes",
       [](const TempRun &run, const Layout &l) {
         write_file(run.path(l.p0 + "/rtgMessage.dat"), std::string(47, 'x'));
       },
       255, "holds 47 bytes, less than one packet header"},
      {"the epoch", stamp(false, 0, 0.0), 0, ""},
      {"the year 2150", stamp(false, 0, 5.6e12), 0, ""},
  });
}

/* Gaps are walked as the files state them up to 31 days; a longer gap, or a
 * stamp with no count of milliseconds, is refused. */
TEST_F(BadInput, GapsUpTo31DaysAreWalked) {
  const int ps = layout_.packet_size;
  expect({
      {"second partition 1e15 ms later", stamp(true, 1, 1709542800000.0 + 1e15), 255,
       "the time gap since the previous file of"},
      {"sequence gap of 2.1e9", seq(3, 2.1e9), 255, "the sequence gap of"},
      {"NaN sequence number", seq(3, kNaN), 255,
       "refused at packet 3: sequence number nan is no whole number an int holds"},
      {"sequence number 3e9", seq(3, 3e9), 255,
       "refused at packet 3: sequence number 3e+09 is no whole number an int holds"},
      {"NaN in a later packet", stamp(false, 2, kNaN), 255,
       "refused at packet 2: time stamp nan ms is no count of milliseconds"},
      {"packet size 47", packet_size(47), 255, "no usable packet size"},
      {"second Info line", after_info("Info|1|0|5|21|" + std::to_string(ps / 2) + "|1000|0\n"), 255,
       "refused at packet"},
      {"a later packet in 1990", stamp(false, 2, 6.3e11), 0, ""},
  });
  auto run = copy();
  seq(3, 2e6)(*run, layout_); /* 23 days */
  RunResult r = migrate(*run);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("total number of missing sample so far is [199"))
      << "a sequence gap of about 2 million samples is walked: " << r.out;
}

/* A sampling interval above a day (Info field 6) has no store granularity:
 * in the run's first version the file is refused, and nothing is stored. */
TEST_F(BadInput, AnIntervalNoGranularityTakesStoresNothing) {
  expect({{"a day", info_field(6, 86400000), 0, ""}});
  auto run = copy();
  info_field(6, 86401000)(*run, layout_);
  RunResult r = migrate(*run);
  EXPECT_EQ(255, r.status) << r.out << r.err;
  // Refused by its file, before any insert: no earlier version gave a granularity.
  EXPECT_NE(
      std::string::npos,
      r.err.find("testrun.gdf' refused: its Info line gives a sampling interval above one day"))
      << r.err;
  EXPECT_EQ(baseline_, store_state(*run)) << "the store changed";
}

/* Lines the reader cannot take end the run with the reason on stderr. */
TEST_F(BadInput, DefinitionLinesItCannotReadAreRefusedAloud) {
  const std::string big(100000, 'n');
  expect({
      {"NUL byte (ends the line's text: a Group line of 2 fields)",
       after_info(std::string("Group|Nul\0x|2000|vector|1|0\n", 28)), 255, kGroupFields},
      {"100 KB group name", after_info("Group|" + big + "|2000|vector|1|0|M|-|D\n"), 255,
       kGroupFields},
      {"100 KB graph name",
       after_info(kBadGroup + "Graph|" + big + "|1|vector|sample|48|NA|-|0|0|-|H|NA|d\n"), 255,
       kGraphFields},
      {"Group line of 2 fields", after_info("Group|Bad\n"), 255, kGroupFields},
      {"Group line of 7 fields", after_info("Group|Bad|2000|vector|1|0|M\n"), 255, kGroupFields},
      {"empty group name", after_info("Group||2000|vector|1|0|M|-|D\n"), 255, kGroupFields},
      {"Graph line of 5 fields", after_info(kBadGroup + "Graph|a|1|vector|sample\n"), 255,
       kGraphFields},
      {"Graph line of 15 fields",
       after_info(kBadGroup + "Graph|a|1|vector|sample|48|NA|-|0|0|-|H|NA|d|x\n"), 255,
       kGraphFields},
      {"unknown data type",
       after_info(kBadGroup + "Graph|a|1|vector|Sample|48|NA|-|0|0|-|H|NA|d\n"), 255,
       "data type is not known"},
      {"group type table", after_info("Group|Bad|2000|table|1|0|M|-|D\n"), 255,
       "Invalid Group Data for Group name Bad"},
  });
}

/* The index of the first vector line that has one ("name index") replaced. */
Damage vector_index(const std::string &index) {
  return edit_gdf(false, [=](std::string t) {
    for (size_t at = 0; at < t.size(); at = t.find('\n', at) + 1) {
      size_t end = t.find('\n', at), blank = t.find(' ', at);
      if (t.find('|', at) < end || blank >= end) continue; /* Info, Group, Graph, one-token */
      return t.replace(blank + 1, end - blank - 1, index);
    }
    ADD_FAILURE() << "no vector line with an index";
    return t;
  });
}

/* A vector index anywhere in the long range leaves that vector out: the block
 * position is summed without wrapping (under the sanitizers a wrap aborts). */
TEST_F(BadInput, VectorIndexAtTheEndsOfItsRangeIsLeftOut) {
  expect({
      {"index 2^63 - 1", vector_index("9223372036854775807"), 0, ""},
      {"index 2^63 - 2", vector_index("9223372036854775806"), 0, ""},
      {"index -2^63", vector_index("-9223372036854775808"), 0, ""},
  });
}

/* Files of both partitions removed. */
Damage remove_both(const char *file) {
  return [=](const TempRun &run, const Layout &l) {
    for (auto &p : {l.p0, l.p1}) fs::remove(run.path(p + "/" + file));
  };
}

/* Every Group line declares 100 graphs more than it has (field 4), so no
 * group is ever complete, not even with the Graph lines of later files. */
std::string graphs_never_complete(std::string t) {
  for (size_t at = t.find("Group|"); at != std::string::npos; at = t.find("\nGroup|", at + 1)) {
    size_t a = at + (t[at] == '\n');
    for (int i = 0; i < 4; ++i) a = t.find('|', a) + 1;
    size_t b = t.find('|', a);
    t.replace(a, b - a, std::to_string(std::atoi(t.c_str() + a) + 100));
  }
  return t;
}

/* A complete run that gives no value is a finished migration: exit status 0
 * after the closing line, one note naming the run and why, and the store's
 * earlier samples untouched. Only a run whose first partition has no raw
 * sample file (no start time, so the store's migration was never opened) is
 * refused, leaving the store as it was, whatever later partitions hold; a partition with definitions but no
 * raw sample file is named either way. */
TEST_F(BadInput, CompleteRunThatStoresNothingFinishes) {
  const std::string note = "Note: the migration of TR1 stored no value: ";
  const std::string refused = "Migration of TR1 stored no value: ";
  expect({
      {"no definitions", remove_both("testrun.gdf"), 0,
       note + "no partition holds graph definitions (testrun.gdf) with a raw sample file"},
      {"every group skipped", all_gdfs(graphs_never_complete), 0,
       note + "no group of its definitions gave a value to store"},
      {"no raw sample file", remove_both("rtgMessage.dat"), 255,
       refused + "its first partition gave no raw sample file (rtgMessage.dat)"},
  });
  for (Damage damage : {remove_both("testrun.gdf"), all_gdfs(graphs_never_complete)}) {
    auto run = copy();
    damage(*run, layout_);
    RunResult r = migrate(*run);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Migrttion is done")) << r.out;
    EXPECT_EQ(stored_samples(*base_), stored_samples(*run)) << "earlier samples must stay";
  }

  auto run = copy();
  remove_both("rtgMessage.dat")(*run, layout_);
  RunResult r = migrate(*run);
  EXPECT_NE(std::string::npos, r.out.find("Migrttion is done")) << "the closing line comes first";
  for (auto &p : {layout_.p0, layout_.p1})
    EXPECT_NE(std::string::npos,
              r.err.find("Partition '" + run->path(p) +
                         "' has graph definitions but no raw sample file (rtgMessage.dat)"))
        << r.err;

  auto one_left = copy();
  fs::remove(one_left->path(layout_.p1 + "/rtgMessage.dat"));
  r = migrate(*one_left);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("Partition '" + one_left->path(layout_.p1) +
                                          "' has graph definitions but no raw sample file"))
      << r.err;

  // Later partitions with samples but no start time: refused, never stored
  // at times counted from the epoch.
  auto first_gone = copy();
  fs::remove(first_gone->path(layout_.p0 + "/rtgMessage.dat"));
  r = migrate(*first_gone);
  EXPECT_EQ(255, r.status) << r.err;
  EXPECT_NE(std::string::npos,
            r.err.find(refused + "its first partition gave no raw sample file (rtgMessage.dat)"))
      << r.err;
  EXPECT_NE(std::string::npos, r.err.find("no start time")) << r.err;
  EXPECT_EQ(stored_samples(*base_), stored_samples(*first_gone)) << "earlier samples must stay";
}

/* A line longer than the reader's buffer is read in parts, as the reader
 * does, and said once. */
TEST_F(BadInput, ALineLongerThanTheBufferIsSaidOnce) {
  auto run = copy();
  after_info(std::string(5000, 'v') + "\n")(*run, layout_);
  RunResult r = migrate(*run);
  EXPECT_EQ(0, r.status) << r.err;
  const std::string note =
      "testrun.gdf' line 2 is longer than 1023 characters: it is read in parts";
  size_t at = r.err.find(note);
  EXPECT_NE(std::string::npos, at) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find(note, at + 1)) << "said once: " << r.err;
}

/* A version is a pair of files: one without the other is passed over, and
 * said, whichever of the two is missing. */
TEST_F(BadInput, AVersionMissingOneOfItsFilesIsNamed) {
  for (const char *gone : {"testrun.gdf", "rtgMessage.dat"}) {
    SCOPED_TRACE(gone);
    auto run = copy();
    const std::string p = run->path(layout_.p1);
    const std::string other = std::string(gone) == "testrun.gdf" ? "rtgMessage.dat" : "testrun.gdf";
    // The second partition keeps a later version, so only this one is passed over.
    fs::copy_file(p + "/testrun.gdf", p + "/testrun.gdf.diff.1");
    fs::copy_file(p + "/rtgMessage.dat", p + "/rtgMessage.dat.1");
    fs::remove(p + "/" + gone);
    RunResult r = migrate(*run);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos,
              r.err.find("Version 0 of partition '" + p + "' skipped: '" + p + "/" + other +
                         "' has no '" + p + "/" + gone + "' beside it"))
        << r.err;
  }
}

/* Only regular files are read; a name that leads nowhere is skipped aloud. */
TEST_F(BadInput, FilesThatAreNotRegularFilesAreRefusedByName) {
  const std::string raw = "rtgMessage.dat' refused: not a regular file";
  const std::string gdf = "testrun.gdf' refused: not a regular file";
  expect({
      {"first raw file a FIFO", replace_with(false, "rtgMessage.dat", fifo), 255,
       "rtgMessage.dat' refused at packet 0: not a regular file"},
      {"raw file a FIFO", replace_with(true, "rtgMessage.dat", fifo), 255, raw},
      {"raw file a folder", replace_with(true, "rtgMessage.dat", folder), 255, raw},
      {"raw file a link to /dev/zero", replace_with(true, "rtgMessage.dat", dev_zero), 255, raw},
      {"definitions a FIFO", replace_with(true, "testrun.gdf", fifo), 255, gdf},
      {"definitions a folder", replace_with(true, "testrun.gdf", folder), 255, gdf},
      {"definitions a symlink loop", replace_with(true, "testrun.gdf", link_loop), 0,
       "testrun.gdf' skipped: Too many levels of symbolic links"},
  });
  if (geteuid() == 0) return; /* root reads any file: no unreadable file to make */
  expect({{"unreadable raw file",
           [](const TempRun &run, const Layout &l) {
             chmod(run.path(l.p1 + "/rtgMessage.dat").c_str(), 0);
           },
           0, "rtgMessage.dat' skipped: Permission denied"}});
}

/* Windows line ends and a missing last line end read like plain ones. */
TEST_F(BadInput, LineEndsDoNotChangeWhatIsStored) {
  for (auto edit :
       {crlf, no_final_newline, +[](std::string t) { return no_final_newline(crlf(t)); }}) {
    auto run = copy();
    all_gdfs(edit)(*run, layout_);
    RunResult r = migrate(*run);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(samples_, stored_samples(*run));
  }
}

/* A partition that is not there is refused as the option is read, before
 * the trace level is set: no trace record, whatever -D says later. */
TEST_F(BadInput, MissingPartitionIsRefusedBeforeAnyTrace) {
  auto run = copy();
  RunResult r = migrate(*run, {"-D", "1", "-s", "20991231000000", "-D", "1"});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("Error: No given partition present 20991231000000", r.out);
  EXPECT_FALSE(run->exists("debug_zevi_zazozoz.log"));
}

}  // namespace
