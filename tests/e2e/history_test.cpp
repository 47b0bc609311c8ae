/*
 * history_test.cpp - `orvtsdb history` and run labels on generated runs of
 * one system, one night apart, migrated by the real tool into one shared
 * store (and into stores of their own), with known slowdowns.
 */
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "vzu_test_support.h"

using namespace vzu_test;
using Json = nlohmann::json;

namespace {

constexpr int64_t kStart = 1709542800, kDay = 86400;

/* A work folder whose runs are migrated into `store`. */
class History {
 public:
  explicit History(std::string store) : store_(std::move(store)) {}

  /* Run `night` of the system, Login slower by `factor`, with the labels. */
  void add(int night, double factor, const std::string &labels = "",
           const std::vector<std::string> &more = {}) {
    TempRun gen(1);
    std::vector<std::string> args = {"--wdir",       gen.wdir(),
                                     "--testrun",    "1",
                                     "--preset",     "small",
                                     "--seed",       "1",
                                     "--noise-seed", std::to_string(night + 1),
                                     "--start",      std::to_string(kStart + night * kDay),
                                     "--packets",    "400",
                                     "--slowdown",   "Login=" + std::to_string(factor)};
    args.insert(args.end(), more.begin(), more.end());
    RunResult g = run_program(bin_dir() + "/make_sample_run", args);
    ASSERT_EQ(g.status, 0) << g.err;
    Env env = real_store_env();
    env.push_back({"TW_WDIR", gen.wdir()});
    env.push_back({"ORVTSDB_URL", "sqlite:" + store_});
    if (!labels.empty()) env.push_back({"ORVTSDB_RUN_LABELS", labels});
    RunResult m = run_program(tool_path(), {"-t", "1"}, env);
    ASSERT_EQ(m.status, 0) << m.out << m.err;
  }

  const std::string &store() const { return store_; }

 private:
  std::string store_;
};

RunResult orvtsdb(const std::vector<std::string> &args) {
  return run_program(bin_dir() + "/orvtsdb", args, real_store_env(), 120000);
}

Json history_json(const std::vector<std::string> &sources, std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"history"};
  args.insert(args.end(), sources.begin(), sources.end());
  args.insert(args.end(), {"--format", "json"});
  args.insert(args.end(), extra.begin(), extra.end());
  RunResult r = orvtsdb(args);
  EXPECT_EQ(r.status, 0) << r.err;
  return r.status == 0 ? Json::parse(r.out) : Json();
}

const Json *series_of(const Json &answer, const std::string &transaction,
                      const std::string &metric) {
  for (const Json &s : answer["series"])
    if (s["transaction"].get<std::string>().ends_with("/ " + transaction) && s["metric"] == metric)
      return &s;
  return nullptr;
}

class HistoryTest : public testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(dir_.wdir()); }
  std::string path(const std::string &name) const { return dir_.wdir() + "/" + name; }
  TempRun dir_{1};
};

TEST_F(HistoryTest, ANewestStepIsARegressionThatFailsTheGateAndAStableHistoryPasses) {
  History h(path("team.sqlite"));
  for (int night = 0; night < 12; night++)
    h.add(night, night >= 9 ? 1.3 : 1.0, "build=1." + std::to_string(night));
  Json a = history_json({h.store()});
  ASSERT_EQ(a["runs"].size(), 12u);
  // Runs in start order, each with its id, start, source and labels.
  for (size_t i = 0; i < 12; i++) {
    EXPECT_EQ(a["runs"][i]["labels"]["build"], "1." + std::to_string(i));
    EXPECT_EQ(a["runs"][i]["source"], h.store());
    EXPECT_FALSE(a["runs"][i]["id"].get<std::string>().empty());
  }
  const Json *login = series_of(a, "Login", "mean");
  ASSERT_NE(login, nullptr) << a.dump(1);
  EXPECT_EQ((*login)["verdict"], "regression");
  ASSERT_EQ((*login)["points"].size(), 12u);
  for (const Json &p : (*login)["points"])
    EXPECT_LE(p["low"].get<double>(), p["value"].get<double>()) << p;
  ASSERT_EQ((*login)["change_points"].size(), 1u) << login->dump(1);
  const Json &step = (*login)["change_points"][0];
  EXPECT_EQ(step["run"], a["runs"][9]["id"]);
  EXPECT_NEAR(step["change"].get<double>(), 0.3, 0.08);
  EXPECT_LT(step["p"].get<double>(), 0.05);
  const Json *browse = series_of(a, "Browse", "mean");
  ASSERT_NE(browse, nullptr);
  EXPECT_TRUE((*browse)["change_points"].empty()) << browse->dump(1);
  // The gate, for CI: 3 on the regression, with the runs' table on stdout.
  RunResult gate = orvtsdb({"history", h.store(), "--fail-on-regression"});
  EXPECT_EQ(gate.status, 3) << gate.err;
  EXPECT_NE(gate.out.find("regression"), std::string::npos);
  EXPECT_NE(gate.err.find("the newest run regressed"), std::string::npos) << gate.err;
  // Up to the night before the step the history is stable.
  History stable(path("stable.sqlite"));
  for (int night = 0; night < 9; night++) stable.add(night, 1.0);
  RunResult pass = orvtsdb({"history", stable.store(), "--fail-on-regression"});
  EXPECT_EQ(pass.status, 0) << pass.out << pass.err;
  // The page draws a trend per metric, the step marked, without a script error.
  if (std::filesystem::exists("/usr/bin/chromium")) {
    std::string page = path("history.html");
    ASSERT_EQ(orvtsdb({"history", h.store(), "--html", page}).status, 0);
    std::string html = read_file(page);
    const std::string probe =
        "<script>window.__errors = [];addEventListener('error', function (e) "
        "{ __errors.push(String(e.message)); });</script>";
    html.replace(html.find("<head>") + 6, 0, probe);
    html.replace(html.rfind("</body>"), 0,
                 "<script>addEventListener('load', function () { setTimeout(function () { var p = "
                 "document.createElement('pre'); p.id = 'probe'; p.textContent = [__errors.length, "
                 "document.querySelectorAll('svg.trend').length, "
                 "document.querySelectorAll('line.change-point').length, "
                 "document.documentElement.dataset.chartsDrawn].join(' '); "
                 "document.body.appendChild(p); }, 500); });</script>");
    write_file(path("probed.html"), html);
    RunResult r = run_program(
        "/usr/bin/chromium",
        {"--headless=new", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + path("profile"),
         "--virtual-time-budget=5000", "--dump-dom", "file://" + path("probed.html")},
        {}, 120000);
    ASSERT_EQ(r.status, 0) << r.err;
    size_t at = r.out.find("<pre id=\"probe\">");
    ASSERT_NE(at, std::string::npos) << r.out.substr(0, 2000);
    // No error once the page's scripts have run, a trend for each of the 4
    // transactions' mean and throughput, Login's step marked, the page done.
    EXPECT_EQ(r.out.substr(at + 16, r.out.find('<', at + 16) - at - 16), "0 8 1 all");
    EXPECT_EQ(r.out.find("Drawing charts"), std::string::npos);
  }
  // A threshold above the step reports none.
  Json wide = history_json({h.store()}, {"--threshold", "50"});
  EXPECT_TRUE((*series_of(wide, "Login", "mean"))["change_points"].empty());
  EXPECT_EQ((*series_of(wide, "Login", "mean"))["verdict"], "stable");
}

/* A transaction the newest run no longer has is said to be missing from
 * it, not judged, in every output; its CSV verdict is on its last line. */
TEST_F(HistoryTest, ATransactionMissingFromTheNewestRunIsSaidToBe) {
  History h(path("gone.sqlite"));
  for (int night = 0; night < 4; night++)
    h.add(night, 1.0, "",
          night == 3 ? std::vector<std::string>{"--vectors", "3"} : std::vector<std::string>{});
  Json a = history_json({h.store()});
  const Json *checkout = series_of(a, "Checkout", "mean");
  ASSERT_NE(checkout, nullptr) << a.dump(1);
  EXPECT_EQ((*checkout)["verdict"], "not in the newest run");
  EXPECT_TRUE((*checkout)["newest"].is_null());
  EXPECT_EQ((*checkout)["points"].size(), 3u);
  RunResult csv = orvtsdb({"history", h.store(), "--format", "csv"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  size_t lines = 0, verdicts = 0;
  for (const std::string &line : split_lines(csv.out)) {
    if (line.find("Checkout") == std::string::npos || line.find(",mean,") == std::string::npos)
      continue;
    lines++;
    if (!line.ends_with(",not in the newest run")) continue;
    verdicts++;
    EXPECT_NE(line.find(",mean,3,"), std::string::npos) << line;
  }
  EXPECT_EQ(lines, 3u) << csv.out;
  EXPECT_EQ(verdicts, 1u) << csv.out;
  RunResult text = orvtsdb({"history", h.store(), "--fail-on-regression"});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("not in the newest run"), std::string::npos) << text.out;
}

TEST_F(HistoryTest, SourcesMixStoresRunFoldersAndWorkFoldersAndCountARunOnce) {
  History shared(path("shared.sqlite"));
  for (int night = 0; night < 3; night++) shared.add(night, 1.0);
  // Two runs in run folders of one work folder: logs/TR1 and logs/TR2.
  TempRun work(1);
  for (int tr : {1, 2}) {
    RunResult g = run_program(
        bin_dir() + "/make_sample_run",
        {"--wdir", work.wdir(), "--testrun", std::to_string(tr), "--preset", "small", "--seed", "1",
         "--noise-seed", std::to_string(10 + tr), "--start",
         std::to_string(kStart + (3 + tr) * kDay), "--packets", "400"});
    ASSERT_EQ(g.status, 0) << g.err;
    Env env = real_store_env();
    env.push_back({"TW_WDIR", work.wdir()});
    ASSERT_EQ(run_program(tool_path(), {"-t", std::to_string(tr)}, env).status, 0);
  }
  std::string tr2 = work.wdir() + "/logs/TR2";
  Json a = history_json({shared.store(), work.wdir(), tr2});
  ASSERT_EQ(a["runs"].size(), 5u) << "TR2 named twice counts once";
  EXPECT_EQ(a["runs"][4]["source"], tr2 + "/tsdb/metrics.sqlite");
  for (size_t i = 1; i < 5; i++)
    EXPECT_LT(a["runs"][i - 1]["start"].get<std::string>(),
              a["runs"][i]["start"].get<std::string>());
  // The CSV has a line per run and metric.
  RunResult csv = orvtsdb({"history", shared.store(), "--format", "csv", "--metric", "p95"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out.rfind("transaction,metric,run,run_id,start,value,low,high,", 0), 0u);
  EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 1 + 3 * 4) << csv.out;
  // What is not a source is said so.
  RunResult none = orvtsdb({"history", path("nothing-here")});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("nothing-here: no such file or folder"), std::string::npos) << none.err;
  std::filesystem::create_directories(path("empty"));
  RunResult empty = orvtsdb({"history", path("empty")});
  EXPECT_EQ(empty.status, 1);
  EXPECT_NE(empty.err.find("no run store in it"), std::string::npos) << empty.err;
  EXPECT_EQ(orvtsdb({"history", shared.store(), "--order-by", "label:"}).status, 2);
  EXPECT_EQ(orvtsdb({"history", shared.store(), "--metric", "median"}).status, 2);
  // Errors alone, of runs without an error graph: said so, naming only what was asked for.
  RunResult no_errors = orvtsdb({"history", shared.store(), "--metric", "errors"});
  EXPECT_EQ(no_errors.status, 1);
  EXPECT_NE(no_errors.err.find("the runs hold no error graph"), std::string::npos) << no_errors.err;
  EXPECT_EQ(no_errors.err.find("transaction"), std::string::npos) << no_errors.err;
}

TEST_F(HistoryTest, LabelsGivenLaterOrderTheRunsAndWriteNothingElse) {
  History h(path("labels.sqlite"));
  for (int night = 0; night < 3; night++) h.add(night, 1.0, night == 0 ? "build=1.10" : "");
  RunResult before = orvtsdb(
      {"sql", h.store(),
       "SELECT group_concat(row_check) FROM (SELECT row_check FROM chunks ORDER BY rowid)"});
  ASSERT_EQ(before.status, 0) << before.err;
  // Several runs: the one to label must be named.
  RunResult which = orvtsdb({"label", h.store(), "build=1.9"});
  EXPECT_EQ(which.status, 1);
  EXPECT_NE(which.err.find("--run"), std::string::npos) << which.err;
  EXPECT_EQ(orvtsdb({"label", h.store(), "--run", "2", "build=1.9"}).status, 0);
  EXPECT_EQ(orvtsdb({"label", h.store(), "--run", "3", "build=1.2", "branch=main, or not"}).status,
            0);
  // Replacing a label keeps one row.
  EXPECT_EQ(orvtsdb({"label", h.store(), "--run", "3", "build=1.11"}).status, 0);
  RunResult bad = orvtsdb({"label", h.store(), "--run", "3", "1build=x"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("is not NAME=VALUE"), std::string::npos) << bad.err;
  // A value that would break the line it is shown on, or fill it, is refused.
  for (const std::string &value :
       {std::string("1.2\nbranch=x"), std::string("a\tb"), std::string(257, 'v'),
        std::string("a\xC2\x85"
                    "b"),
        std::string("a\xE2\x80\xA8"
                    "b")}) {
    RunResult refused = orvtsdb({"label", h.store(), "--run", "3", "note=" + value});
    EXPECT_EQ(refused.status, 2) << value;
    EXPECT_NE(refused.err.find("label note: a value is at most 256 bytes"), std::string::npos)
        << refused.err;
  }
  EXPECT_EQ(orvtsdb({"label", h.store(), "--run", "3", "note=" + std::string(256, 'v')}).status, 0);
  EXPECT_EQ(orvtsdb({"label", h.store(), "--run", "3", "note=caf\xC3\xA9 \xE2\x80\x93"}).status, 0);
  EXPECT_EQ(orvtsdb({"label", h.store(), "--run", "3", std::string(129, 'n') + "=1"}).status, 2);
  EXPECT_EQ(orvtsdb({"label", h.store(), "--run", "9", "build=1"}).status, 1);
  // Ordered by build, numbers as numbers: 1.9 < 1.10 < 1.11.
  Json a = history_json({h.store()}, {"--order-by", "label:build"});
  ASSERT_EQ(a["runs"].size(), 3u);
  EXPECT_EQ(a["runs"][0]["labels"]["build"], "1.9");
  EXPECT_EQ(a["runs"][1]["labels"]["build"], "1.10");
  EXPECT_EQ(a["runs"][2]["labels"]["build"], "1.11");
  EXPECT_EQ(a["runs"][2]["labels"]["branch"], "main, or not");
  // Runs without the label come first: the labelled one is the newest judged.
  Json b = history_json({h.store()}, {"--order-by", "label:branch"});
  ASSERT_EQ(b["runs"].size(), 3u);
  EXPECT_EQ(b["runs"][0]["labels"].count("branch"), 0u);
  EXPECT_EQ(b["runs"][2]["labels"]["branch"], "main, or not");
  // A name no run has is an error naming those they have, not an order by start.
  RunResult typo = orvtsdb({"history", h.store(), "--order-by", "label:biuld"});
  EXPECT_EQ(typo.status, 1);
  EXPECT_NE(typo.err.find("no run has a label 'biuld' (--order-by label:biuld); their labels: "
                          "branch, build"),
            std::string::npos)
      << typo.err;
  // Only labels were written, each with its check.
  EXPECT_EQ(
      orvtsdb({"sql", h.store(),
               "SELECT group_concat(row_check) FROM (SELECT row_check FROM chunks ORDER BY rowid)"})
          .out,
      before.out);
  RunResult verify = orvtsdb({"verify", h.store()});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  // A malformed ORVTSDB_RUN_LABELS refuses the migration before it writes.
  TempRun gen(1);
  ASSERT_EQ(run_program(bin_dir() + "/make_sample_run",
                        {"--wdir", gen.wdir(), "--testrun", "1", "--preset", "small", "--packets",
                         "100", "--start", std::to_string(kStart + 9 * kDay)})
                .status,
            0);
  Env env = real_store_env();
  env.push_back({"TW_WDIR", gen.wdir()});
  env.push_back({"ORVTSDB_URL", "sqlite:" + h.store()});
  env.push_back({"ORVTSDB_RUN_LABELS", "build"});
  RunResult m = run_program(tool_path(), {"-t", "1"}, env);
  EXPECT_NE(m.status, 0);
  EXPECT_NE((m.out + m.err).find("ORVTSDB_RUN_LABELS: 'build' is not NAME=VALUE"),
            std::string::npos)
      << m.out << m.err;
  EXPECT_EQ(history_json({h.store()})["runs"].size(), 3u);
  // Into the run's own store it leaves neither a store file nor the run's identity.
  Env own = real_store_env();
  own.push_back({"TW_WDIR", gen.wdir()});
  own.push_back({"ORVTSDB_RUN_LABELS", "build=1\tx"});
  RunResult refused = run_program(tool_path(), {"-t", "1"}, own);
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.err.find("ORVTSDB_RUN_LABELS: label build: a value is at most"),
            std::string::npos)
      << refused.err;
  EXPECT_FALSE(std::filesystem::exists(gen.wdir() + "/logs/TR1/tsdb")) << refused.err;
}

}  // namespace
