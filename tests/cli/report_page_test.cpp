/*
 * report_page_test.cpp - `orvtsdb report` opened in headless chromium from a
 * file: the page runs without script errors, draws one chart per graph of
 * the store, a short chart holds exactly the stored samples, and a long one
 * holds only stored values with every line's extremes (a one-sample spike
 * included); its screenshot shows lines in every chart in view and the
 * spike where the page put it. The page and the screenshot are kept in
 * test-artifacts/. A medium run's report printed to PDF holds every chart
 * drawn.
 */
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "store_test_support.h"
#include "vzu_test_support.h"

using namespace store_test;
using vzu_test::RunResult;
using Json = nlohmann::json;

namespace {

/* A page kept in test-artifacts/, one per test: ctest runs a fixture's
 * cases side by side, and two writing one file would race for it. */
std::string artifact_page(const std::string &stem) {
  std::filesystem::create_directories(REPORT_ARTIFACT_DIR);
  return std::string(REPORT_ARTIFACT_DIR) + "/" + stem + "." +
         ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".html";
}

const int LONG = 3000;  // samples of group "Load": more than two per pixel column
const int SHORT = 40;   // samples of group "Small": every one drawn
const int SPIKE_AT = 1234;
const int64_t START = 1700000000;
/* The window of the screenshot, also given to the probed page so that both
 * lay the charts out alike. */
const char *const WINDOW = "--window-size=1400,1000";

/* Catches script errors from the page's first script on. */
const char *const ERROR_CATCHER =
    "<script>window.__errors = [];"
    "addEventListener('error', function (e) { __errors.push(String(e.message)); });"
    "addEventListener('unhandledrejection', function (e) { __errors.push(String(e.reason)); });"
    "console.error = function (m) { __errors.push(String(m)); };</script>";

/* Has every chart drawn, zooms the chart titled `window.probeZoom.chart`
 * ("group/graph") to [from, to] (seconds) the way a drag does when asked, and
 * writes what the page holds into <pre id="probe">: the chart boxes,
 * canvases, errors, the charts in page order, and each chart's rows as
 * dygraphs keeps them (time in seconds, NaN as "NaN", no sample as null),
 * its lines shown, its place, its plot area in page pixels and the page x of
 * the time `window.probeTime` (seconds); the run summary and the first
 * table of the first screen, as text. */
const char *const PROBE = R"(<script>
function chartName(box) {
  return box.closest('section').querySelector('h2').textContent + '/' +
         box.querySelector('h3').textContent;
}
function zoomed() {
  var z = window.probeZoom;
  if (!z) return Promise.resolve();
  var box = Array.prototype.find.call(document.querySelectorAll('.chart'),
                                      function (b) { return chartName(b) === z.chart; });
  var g = window.orvtsdbCharts[box.dataset.chart];
  g.updateOptions({ dateWindow: [z.from * 1000, z.to * 1000] });
  g.getOption('zoomCallback').call(g, z.from * 1000, z.to * 1000, g.yAxisRanges());
  return new Promise(function (ok) {
    (function wait() { box.dataset.zoomed ? ok() : setTimeout(wait, 20); })();
  });
}
(function start() {
  if (!window.orvtsdbDrawAll) return setTimeout(start, 20);
  window.orvtsdbDrawAll().then(zoomed).then(function () {
  if (window.probeFirst) window.probeFirst();
  var out = { charts: document.querySelectorAll('.chart').length,
              canvases: document.querySelectorAll('.chart canvas').length,
              errors: window.__errors, data: {}, order: [],
              first_screen: document.documentElement.dataset.firstScreen || null,
              run: {}, table: [] };
  document.querySelectorAll('.chart').forEach(function (box) { out.order.push(chartName(box)); });
  document.querySelectorAll('#run tr').forEach(function (tr) {
    out.run[tr.cells[0].textContent] = tr.cells[1].textContent;
  });
  var table = document.querySelector('#verdict table');
  if (table) {
    out.table_top = table.getBoundingClientRect().top;
    table.querySelectorAll('tr').forEach(function (tr) {
      out.table.push(Array.prototype.map.call(tr.cells, function (c) { return c.textContent; }));
    });
  }
  Object.keys(window.orvtsdbCharts).forEach(function (id) {
    var g = window.orvtsdbCharts[id], rows = [];
    var box = document.querySelector('.chart[data-chart="' + id + '"]');
    for (var r = 0; r < g.numRows(); r++) {
      var row = [g.getValue(r, 0) / 1000];
      for (var c = 1; c < g.numColumns(); c++) {
        var v = g.getValue(r, c);
        row.push(v !== v ? 'NaN' : v);
      }
      rows.push(row);
    }
    var canvas = box.querySelector('canvas').getBoundingClientRect(), a = g.getArea();
    out.data[chartName(box)] = {
      labels: g.getLabels(), rows: rows, place: box.closest('section').dataset.place,
      shown: g.visibility().filter(Boolean).length,
      area: [canvas.left + a.x, canvas.top + a.y, a.w, a.h],
      probe_x: canvas.left + g.toDomXCoord(window.probeTime * 1000) };
  });
  var pre = document.createElement('pre');
  pre.id = 'probe';
  pre.textContent = JSON.stringify(out);
  document.body.appendChild(pre);
  });
})();
</script>)";

std::string chromium() {
  for (const char *p : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
    if (std::filesystem::exists(p)) return p;
  return "";
}

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
  for (size_t p = 0; (p = s.find(from, p)) != std::string::npos; p += to.size())
    s.replace(p, from.size(), to);
  return s;
}

/* Headless chromium on a page file, bounded in time. */
RunResult browse(const std::string &page, const std::string &profile,
                 const std::vector<std::string> &extra) {
  std::vector<std::string> args = {"120",
                                   chromium(),
                                   "--headless=new",
                                   "--no-sandbox",
                                   "--disable-gpu",
                                   "--user-data-dir=" + profile,
                                   "--virtual-time-budget=20000"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back("file://" + page);
  return vzu_test::run_program("/usr/bin/timeout", args);
}

/* `page` opened in chromium with the error catcher and the probe (a copy in
 * `dir`, probed.html; `head` goes before the probe, `extra` to chromium); the
 * probe's findings, null when the page never finished drawing. */
Json probe_page(const std::string &page, const std::string &dir, const std::string &head = "",
                const std::vector<std::string> &extra = {}) {
  std::string html = vzu_test::read_file(page);
  std::string probed = dir + "/probed.html";
  html.replace(html.find("<head>") + 6, 0, ERROR_CATCHER);
  html.replace(html.rfind("</body>"), 0, head + PROBE);
  vzu_test::write_file(probed, html);
  std::vector<std::string> args = {"--enable-logging=stderr", "--v=0", "--dump-dom"};
  args.insert(args.end(), extra.begin(), extra.end());
  RunResult r = browse(probed, dir + "/profile", args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("Uncaught"), std::string::npos) << r.err;
  size_t from = r.out.find("<pre id=\"probe\">"), to = r.out.find("</pre>", from);
  if (from == std::string::npos || to == std::string::npos) {
    ADD_FAILURE() << "the page never finished drawing:\n" << r.out.substr(0, 2000);
    return Json();
  }
  from += 16;
  std::string text = r.out.substr(from, to - from);
  for (auto [e, c] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&amp;", "&"}})
    text = replace_all(text, e, c);
  return Json::parse(text);
}

class ReportPageTest : public testing::Test {
 protected:
  void SetUp() override {
    if (chromium().empty()) GTEST_SKIP() << "chromium is not installed (Debian package chromium)";
    ASSERT_EQ(tsdb_init_migration(START), 0);
    int load = register_group("Load", {3, 0});
    int small = register_group("Small", {0});
    Vec s1("S1", 2), s2("S2", 2), m("M1", 1);
    for (int i = 0; i < LONG; i++) {
      double wave = (i % 97) * 0.5;
      s1.insert(load, {10 + wave, 1, 20 + wave, 7, i == SPIKE_AT ? 1e6 : wave});
      s2.insert(load, {5, 4, 6, 3, 2.5 + i % 3});
      if (i < SHORT) m.insert(small, {i == 5 ? TSDB_MISSING_VALUE : 0.1 * i});
      tsdb_migration_increment_sample_ex(1);
    }
    ASSERT_EQ(tsdb_exit_migration(START + LONG), 0);
    page_ = artifact_page("report_page_test");
  }

  /* The page written by the command, opened with the error catcher and the
   * probe; returns the probe's findings. The probed page stays as probed_. */
  Json open_page(const std::vector<std::string> &extra = {}) {
    RunResult r = vzu_test::run_program(ORVTSDB_COMMAND, {"report", store.db(), "-o", page_});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, page_ + "\n");
    return probe_page(
        page_, store.dir(),
        "<script>window.probeTime = " + std::to_string(START + SPIKE_AT) + ";</script>", extra);
  }

  TempStore store;
  std::string page_, probed_ = store.dir() + "/probed.html";
};

/* An image as rows of RGB pixels, read with libpng. */
struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  const uint8_t *at(int x, int y) const { return &rgb[((size_t)y * width + x) * 3]; }
  /* A pixel of a drawn line: saturated, unlike the page's white, the grid's
   * grays and the black text. */
  bool coloured(int x, int y) const {
    const uint8_t *p = at(x, y);
    return std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]}) > 60;
  }
};

Picture read_png(const std::string &path) {
  Picture pic;
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&img, path.c_str())) {
    ADD_FAILURE() << path << ": " << img.message;
    return pic;
  }
  img.format = PNG_FORMAT_RGB;
  pic.rgb.resize(PNG_IMAGE_SIZE(img));
  if (!png_image_finish_read(&img, nullptr, pic.rgb.data(), 0, nullptr)) {
    ADD_FAILURE() << path << ": " << img.message;
    return Picture();
  }
  pic.width = (int)img.width;
  pic.height = (int)img.height;
  return pic;
}

/* The stored values of one series and graph, by time; NaN for missing. */
std::map<int64_t, double> stored(const std::string &db, int64_t sid, int graph) {
  std::map<int64_t, double> out;
  for (const Sample &s :
       samples(db, "WHERE sid = " + std::to_string(sid) + " AND graph = " + std::to_string(graph)))
    out[s.time] = s.value ? *s.value : NAN;
  return out;
}

TEST_F(ReportPageTest, ChromiumDrawsOneChartPerGraphWithTheStoredPoints) {
  Json probe = open_page();
  ASSERT_FALSE(probe.is_null());
  EXPECT_TRUE(probe["errors"].empty()) << probe["errors"];
  int64_t graphs = query_int(store.db(), "SELECT count(*) FROM graphs");
  EXPECT_EQ(probe["charts"], graphs);
  EXPECT_EQ(probe["data"].size(), (size_t)graphs);
  EXPECT_EQ(probe["canvases"], 2 * graphs) << "dygraphs draws two canvases per chart";

  // The short chart: every stored sample, at its time, missing as a break.
  const Json &small = probe["data"]["Small/Graph 0"];
  auto want = stored(store.db(), 3, 0);
  ASSERT_EQ(small["rows"].size(), want.size());
  for (const Json &row : small["rows"]) {
    ASSERT_TRUE(want.count(row[0])) << row;
    double v = want[row[0]];
    if (std::isnan(v))
      EXPECT_EQ(row[1], "NaN") << row;
    else
      EXPECT_EQ(row[1].get<double>(), v) << row;
  }

  // The long chart: thinned, yet only stored values, and each line's extremes.
  const Json &load = probe["data"]["Load/Graph 1"];
  EXPECT_LE(load["rows"].size(), 2u * 640);
  EXPECT_EQ(load["labels"], Json({"time", "S1", "S2"}));
  for (int line = 1; line <= 2; line++) {
    std::set<double> values, shown;
    for (const auto &[t, v] : stored(store.db(), line, 1)) values.insert(v);
    for (const Json &row : load["rows"])
      if (row[line].is_number()) shown.insert(row[line].get<double>());
    for (double v : shown) EXPECT_TRUE(values.count(v)) << "line " << line << " shows " << v;
    EXPECT_TRUE(shown.count(*values.begin())) << "line " << line << " lost its minimum";
    EXPECT_TRUE(shown.count(*values.rbegin())) << "line " << line << " lost its maximum";
    if (line == 1) {
      EXPECT_EQ(*values.rbegin(), 1e6) << "S1's maximum is its one-sample spike";
    }
  }
  // The times chart: four roles per series, counts against the second axis.
  EXPECT_EQ(probe["data"]["Load/Graph 0"]["labels"].size(), 1u + 2 * 4);
}

// A search in a chart's legend shows the lines it finds in the chart itself
// and hides the others; emptied, it brings the top lines back.
TEST_F(ReportPageTest, LegendSearchFiltersTheChartsLines) {
  RunResult r = vzu_test::run_program(ORVTSDB_COMMAND, {"report", store.db(), "-o", page_});
  ASSERT_EQ(r.status, 0) << r.err;
  auto search = [&](const std::string &text) {
    return probe_page(page_, store.dir(),
                      "<script>window.probeFirst = function () {"
                      "  var box = Array.prototype.find.call(document.querySelectorAll('.chart'),"
                      "    function (b) { return chartName(b) === 'Load/Graph 1'; });"
                      "  var input = box.querySelector('.legend-tools input');"
                      "  input.value = '" +
                          text +
                          "'; input.dispatchEvent(new Event('input'));"
                          "};</script>");
  };
  Json found = search("s2");
  ASSERT_FALSE(found.is_null());
  EXPECT_TRUE(found["errors"].empty()) << found["errors"];
  EXPECT_EQ(found["data"]["Load/Graph 1"]["shown"], 1) << "only S2 is drawn";
  EXPECT_EQ(found["data"]["Load/Graph 1"]["labels"], Json({"time", "S1", "S2"}));
  EXPECT_EQ(search("")["data"]["Load/Graph 1"]["shown"], 2) << "both are top lines";
  EXPECT_EQ(search("nothing")["data"]["Load/Graph 1"]["shown"], 0);
}

// What the screenshot shows, where the probe says the charts are: every plot
// area in view holds drawn lines, and the chart with the spike is scaled to it:
// above half its height only the spike's own column is drawn, up to the top.
TEST_F(ReportPageTest, ScreenshotShowsTheLinesAndTheSpikeWhereTheChartsAre) {
  Json probe = open_page({WINDOW});
  ASSERT_FALSE(probe.is_null());
  std::string png = std::string(REPORT_ARTIFACT_DIR) + "/report_page_test.png";
  std::filesystem::remove(png);
  RunResult r = browse(probed_, store.dir() + "/profile", {WINDOW, "--screenshot=" + png});
  ASSERT_EQ(r.status, 0) << r.err;
  Picture pic = read_png(png);
  ASSERT_EQ(pic.width, 1400);
  ASSERT_EQ(pic.height, 1000);

  int in_view = 0;
  for (const auto &[name, chart] : probe["data"].items()) {
    int x0 = chart["area"][0], y0 = chart["area"][1], w = chart["area"][2], h = chart["area"][3];
    if (x0 < 0 || y0 < 0 || x0 + w > pic.width || y0 + h > pic.height) continue;
    in_view++;
    int lines = 0;
    for (int y = y0; y < y0 + h; y++)
      for (int x = x0; x < x0 + w; x++) lines += pic.coloured(x, y);
    EXPECT_GE(lines, std::min(w, h) / 2) << name << ": its plot area shows no line";
  }
  EXPECT_GE(in_view, 2) << "the first row of charts is in the window";

  const Json &load = probe["data"]["Load/Graph 1"];
  int x0 = load["area"][0], y0 = load["area"][1], w = load["area"][2], h = load["area"][3];
  int spike = (int)std::lround(load["probe_x"].get<double>());
  ASSERT_GT(spike, x0);
  ASSERT_LT(spike, x0 + w);
  int top_of_spike = y0 + h;
  for (int y = y0; y < y0 + h / 2; y++)
    for (int x = x0; x < x0 + w; x++) {
      if (!pic.coloured(x, y)) continue;
      ASSERT_LE(std::abs(x - spike), 3) << "a line drawn at " << x << "," << y << " in the upper "
                                        << "half, away from the spike at x " << spike;
      top_of_spike = std::min(top_of_spike, y);
    }
  EXPECT_LT(top_of_spike, y0 + h / 10) << "the spike does not reach the top of its chart";
}

/* A six-hour run at 10 s as an analyst opens it: a transaction group
 * (hierarchy under TestMetrics, as the definition reader gives it) of
 * TXNS transactions whose names sort after the other groups', a users
 * group, a host group whose name sorts first, and errors: a count per
 * interval and a rate of failures (data type "rate", per second). Every
 * series stops for HOLE_STEPS steps at HOLE_AT; transaction k has no
 * transaction (count 0, yet a stored avg) every 7th interval. */
class ReportFirstScreenTest : public testing::Test {
 protected:
  static constexpr int STEPS = 6 * 360, TXNS = 12, HOLE_AT = 900, HOLE_STEPS = 30;

  void SetUp() override {
    if (chromium().empty()) GTEST_SKIP() << "chromium is not installed (Debian package chromium)";
    ASSERT_EQ(tsdb_init_migration(START), 0);
    int hosts = register_group("Alpha Hosts", {0}, "Tier>Host");
    int txn = register_group("Zeta Transactions", {3}, "TestMetrics>Transaction");
    int users = register_group("Users", {0}, "TestMetrics");
    int errors = register_group("Errors", {0, 1}, "TestMetrics>Error");
    std::vector<std::unique_ptr<Vec>> t;
    for (int k = 0; k < TXNS; k++) t.push_back(std::make_unique<Vec>("Txn" + std::to_string(k)));
    Vec host("host1"), user("all"), error("all", 2);
    for (int i = 0; i < STEPS; i++) {
      if (i < HOLE_AT || i >= HOLE_AT + HOLE_STEPS) {
        for (int k = 0; k < TXNS; k++) {
          double avg = 100 * (k + 1) + (i * 37 % 101), count = i % 7 == 3 ? 0 : 1 + i % 5;
          t[k]->insert(txn, {avg, avg / 2, avg * 2, count});
        }
        host.insert(hosts, {(double)(i % 50)});
        user.insert(users, {20.0 + i % 3});
        error.insert(errors, {i % 100 == 0 ? 1.0 : 0.0, 0.5});
      }
      tsdb_migration_increment_sample_ex(10);
    }
    ASSERT_EQ(tsdb_exit_migration(START + 10 * STEPS), 0);
    page_ = artifact_page("report_first_screen_test");
    RunResult r = vzu_test::run_program(ORVTSDB_COMMAND, {"report", store.db(), "-o", page_});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  Json open_page(const std::string &head = "") {
    return probe_page(page_, store.dir(), "<script>window.probeTime = 0;</script>" + head,
                      {WINDOW});
  }

  /* The stored rows of transaction k, by time: {avg, count}. */
  std::map<int64_t, std::pair<double, double>> stored_txn(int k) {
    std::map<int64_t, std::pair<double, double>> out;
    int64_t sid = query_int(
        store.db(),
        ("SELECT sid FROM series WHERE labels LIKE '%Txn" + std::to_string(k) + "'").c_str());
    for (const Sample &smp : samples(store.db(), "WHERE sid = " + std::to_string(sid)))
      if (smp.value) {
        if (smp.role == "avg") out[smp.time].first = *smp.value;
        if (smp.role == "count") out[smp.time].second = *smp.value;
      }
    return out;
  }

  TempStore store;
  std::string page_;
};

// The first screen answers what the run did: its summary and one row per
// transaction, worst first, in the window before any chart; the errors of
// the run follow. The charts come in the order of their places, not of
// their names, and none shows more than ten lines at first.
TEST_F(ReportFirstScreenTest, FirstScreenHoldsTheRunAndTheTransactionsInPlaceOrder) {
  Json probe = open_page();
  ASSERT_FALSE(probe.is_null());
  EXPECT_TRUE(probe["errors"].empty()) << probe["errors"];
  for (const char *fact : {"Work folder", "Start", "Duration", "Partitions"})
    EXPECT_TRUE(probe["run"].contains(fact)) << fact << " missing from " << probe["run"];
  EXPECT_EQ(probe["run"]["Duration"], "6:00:00");
  EXPECT_EQ(probe["run"]["Start"], "2023-11-14 22:13:20 UTC");

  const Json &table = probe["table"];
  ASSERT_EQ(table.size(), 1u + TXNS) << table;
  EXPECT_EQ(table[0][0], "series");
  EXPECT_LT(probe["table_top"].get<double>(), 1000) << "the table is below the first screen";
  // Transaction k's times grow with k: the worst, the last, comes first.
  for (int row = 1; row <= TXNS; row++)
    EXPECT_EQ(table[row][0], "Txn" + std::to_string(TXNS - row)) << table;
  // Count: the stored counts summed; mean weighted by them.
  double count = 0, weighted = 0;
  for (const auto &[t, v] : stored_txn(TXNS - 1)) count += v.second, weighted += v.first * v.second;
  EXPECT_EQ(std::stod(table[1][1].get<std::string>()), count);
  EXPECT_NEAR(std::stod(table[1][3].get<std::string>()), weighted / count, 0.01);

  std::vector<std::string> order = probe["order"];
  ASSERT_EQ(order.size(), 5u);
  EXPECT_EQ(order[0], "Zeta Transactions/Graph 0") << "transaction charts first";
  EXPECT_EQ(probe["data"][order[4]]["place"], "Servers and hosts") << order[4];
  for (const auto &[name, chart] : probe["data"].items())
    EXPECT_LE(chart["shown"].get<int>(), 10) << name;
  EXPECT_EQ(probe["data"]["Zeta Transactions/Graph 0"]["labels"].size(), 1u + 4 * TXNS);
  std::string page = vzu_test::read_file(page_);
  EXPECT_NE(page.find("<h2 id=\"problems\">"), std::string::npos)
      << "the errors of the run have their table";
  // The errors: 21 counted, and 0.5 failures a second over 2,130 steps of
  // 10 s (a rate is no count per interval).
  EXPECT_NE(page.find("(10,671 errors and failures per "), std::string::npos)
      << page.substr(page.find("Error rate"), 200);
}

// A stretch without samples breaks every line there, an interval without
// transactions has no time, and zooming into 1 % of the six hours shows
// every stored sample of the window.
TEST_F(ReportFirstScreenTest, GapsStayGapsAndZoomShowsEverySample) {
  const int64_t from = START + 10 * 1500, to = from + 10 * STEPS / 100;
  Json probe = open_page("<script>window.probeZoom = {chart: 'Zeta Transactions/Graph 0', from: " +
                         std::to_string(from) + ", to: " + std::to_string(to) + "};</script>");
  ASSERT_FALSE(probe.is_null());
  EXPECT_TRUE(probe["errors"].empty()) << probe["errors"];

  // The hole, in a chart not zoomed: a break inside it, no value.
  const Json &host = probe["data"]["Alpha Hosts/Graph 0"];
  const int64_t hole_from = START + 10 * HOLE_AT, hole_to = hole_from + 10 * HOLE_STEPS;
  int breaks = 0;
  for (const Json &row : host["rows"]) {
    int64_t t = row[0].get<int64_t>();
    if (t < hole_from || t >= hole_to) continue;
    EXPECT_FALSE(row[1].is_number()) << "a value inside the hole at " << t;
    breaks += row[1] == "NaN";
  }
  EXPECT_GE(breaks, 1) << "the line runs across the hole";

  // The zoomed window: every stored avg of every transaction at its time;
  // NaN where the interval had no transaction.
  const Json &chart = probe["data"]["Zeta Transactions/Graph 0"];
  std::vector<std::string> labels = chart["labels"];
  for (int k = 0; k < TXNS; k++) {
    size_t col = std::find(labels.begin(), labels.end(), "Txn" + std::to_string(k) + " avg") -
                 labels.begin();
    ASSERT_LT(col, labels.size()) << k;
    std::map<int64_t, Json> drawn;
    for (const Json &row : chart["rows"]) {
      int64_t t = row[0].get<int64_t>();
      if (t >= from && t <= to && !row[col].is_null()) drawn[t] = row[col];
    }
    int in_window = 0;
    for (const auto &[t, v] : stored_txn(k)) {
      if (t < from || t > to) continue;
      in_window++;
      ASSERT_TRUE(drawn.count(t)) << "Txn" << k << " at " << t << " not drawn";
      if (v.second == 0)
        EXPECT_EQ(drawn[t], "NaN") << "Txn" << k << " at " << t << " has no transaction";
      else
        EXPECT_EQ(drawn[t].get<double>(), v.first) << "Txn" << k << " at " << t;
    }
    EXPECT_GE(in_window, 20) << k;
    EXPECT_EQ(drawn.size(), (size_t)in_window) << "Txn" << k << " draws what is not stored";
  }
}

// A report of ten minutes says so in its title and its run summary (the
// sixty-one intervals from +1h to +1h10m end at +1:10:10), its rates are over
// that window, and a targets file decides pass or fail
// per transaction; targets it cannot read, and a page that could not be
// written, are refused before any work.
TEST_F(ReportFirstScreenTest, AWindowedReportNamesItsWindowAndTargetsDecide) {
  std::string targets = store.dir() + "/targets";
  vzu_test::write_file(targets,
                       "# response times\nTxn11 p95 < 1000\nTxn0 mean <= 2500\n\n"
                       "Txn3 rate >= 0.01/s\nNoSuch max < 1s\n");
  std::string page = store.dir() + "/window.html";
  RunResult r = vzu_test::run_program(
      ORVTSDB_COMMAND,
      {"report", store.db(), "--from", "+1h", "--to", "+1h10m", "--targets", targets, "-o", page});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("2 of 4 targets missed"), std::string::npos) << r.err;
  std::string html = vzu_test::read_file(page);
  std::string title = html.substr(html.find("<title>"),
                                  html.find("</title>") - html.find("<title>"));
  EXPECT_NE(title.find("+1:00:00 .. +1:10:10 of the run"), std::string::npos) << title;
  EXPECT_NE(html.find("<tr><th>Window</th>"), std::string::npos) << "the run summary names it";
  EXPECT_NE(html.find("2 of 4 met"), std::string::npos);
  for (const char *row : {"Txn11 p95 &lt; 1000</td><td>12", "Txn0 mean &lt;= 2500</td><td>1",
                          "NoSuch max &lt; 1s</td><td>no such transaction"})
    EXPECT_NE(html.find(row), std::string::npos) << row;
  size_t txn11 = html.find("Txn11 p95"), txn0 = html.find("Txn0 mean");
  EXPECT_NE(html.find("class=\"fail\">fail", txn11), std::string::npos);
  EXPECT_EQ(html.find("class=\"pass\">pass", txn0), html.find("class=\"pass\">pass", txn11));
  // Txn0's rate: its count over the window's 610 s, not over its own span.
  double count = 0;
  for (const auto &[t, v] : stored_txn(0))
    if (t >= START + 3600 && t <= START + 4200) count += v.second;
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.3f", count / 610);
  EXPECT_NE(html.find(std::string(">") + rate + "</td>"), std::string::npos) << rate;

  vzu_test::write_file(targets, "Txn0 p97 < 1s\n");
  RunResult bad = vzu_test::run_program(ORVTSDB_COMMAND,
                                        {"report", store.db(), "--targets", targets, "-o", page});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find(targets + ":1:"), std::string::npos) << bad.err;
  RunResult nowhere = vzu_test::run_program(
      ORVTSDB_COMMAND, {"report", store.db(), "-o", store.dir() + "/missing/r.html"});
  EXPECT_EQ(nowhere.status, 1);
  EXPECT_NE(nowhere.err.find("does not exist"), std::string::npos) << nowhere.err;
}

/* One time stamp at which no transaction finished (each has count 0 every
 * 7th interval): no response time to show or to hold a target to; the
 * count of 0 is one, and so is its rate over the interval's 10 s. */
TEST_F(ReportFirstScreenTest, AWindowWithoutTransactionsShowsNoTimesAndMissesItsTargets) {
  std::string targets = store.dir() + "/targets";
  vzu_test::write_file(targets, "Txn0 mean <= 2500\nTxn3 rate >= 0.01/s\nTxn5 count >= 0\n");
  std::string page = store.dir() + "/empty.html", at = std::to_string(START + 10 * 3);
  RunResult r = vzu_test::run_program(ORVTSDB_COMMAND, {"report", store.db(), "--from", at, "--to",
                                                        at, "--targets", targets, "-o", page});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("2 of 3 targets missed"), std::string::npos) << r.err;
  std::string html = vzu_test::read_file(page);
  for (const char *row : {"Txn0 mean &lt;= 2500</td><td>no transaction finished in the window",
                          "Txn3 rate &gt;= 0.01/s</td><td>0 /s</td><td class=\"fail\">fail",
                          "Txn5 count &gt;= 0</td><td>0</td><td class=\"pass\">pass"})
    EXPECT_NE(html.find(row), std::string::npos) << row;
  EXPECT_NE(html.find("0.00 transactions/s (0 transactions in 0:00:10)"), std::string::npos);
  // Each transaction's row: count 0, rate 0, then "-" for every time.
  std::string cells = "<td data-v=\"0\">0</td><td data-v=\"0\">0.000</td>";
  for (int i = 0; i < 5; i++) cells += "<td data-v=\"\">-</td>";
  size_t rows = 0;
  for (size_t at = html.find(cells); at != std::string::npos; at = html.find(cells, at + 1)) rows++;
  EXPECT_EQ(rows, (size_t)TXNS);
}

/* A run of 63 one-second intervals (+0 .. +62 s): transaction Login with
 * count 10 + i % 3 in interval i, and a host graph; the migration records
 * its end at +50 s, before its last samples. */
class ReportWindowTest : public testing::Test {
 protected:
  static constexpr int STEPS = 63;

  void SetUp() override {
    ASSERT_EQ(tsdb_init_migration(START), 0);
    int txn = register_group("Transactions", {3}, "TestMetrics>Transaction");
    int hosts = register_group("Hosts", {0}, "Tier>Host");
    int errors = register_group("Errors", {0}, "Tier>Host");
    Vec login("Login"), host("host1"), failing("host1");
    for (int i = 0; i < STEPS; i++) {
      login.insert(txn, {100, 50, 150, 10.0 + i % 3}, 1);
      host.insert(hosts, {1}, 1);
      failing.insert(errors, {2}, 1);
      tsdb_migration_increment_sample_ex(1);
    }
    ASSERT_EQ(tsdb_exit_migration(START + 50), 0);
  }

  /* Login's count in the intervals at +from .. +to s. */
  static int count(int from, int to) {
    int n = 0;
    for (int i = from; i <= to; i++) n += 10 + i % 3;
    return n;
  }

  /* The page of `report` with args; its status checked. */
  std::string page(std::vector<std::string> args, int status = 0) {
    std::string out = store.dir() + "/page.html";
    args.insert(args.begin(), {"report", store.db(), "-o", out});
    last = vzu_test::run_program(ORVTSDB_COMMAND, args);
    EXPECT_EQ(last.status, status) << last.err;
    return status == 0 ? vzu_test::read_file(out) : "";
  }

  static std::string throughput(int transactions, int seconds, const std::string &clock) {
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  "<th>Total throughput</th><td>%.2f transactions/s (%d transactions in %s)</td>",
                  (double)transactions / seconds, transactions, clock.c_str());
    return buf;
  }

  TempStore store;
  RunResult last;
};

/* A sample stands for the interval after its stamp: the rate is over the
 * intervals counted, as compare and history take it, whether the samples
 * end before or after the end the migration recorded, and the window the
 * page states is the one it counts. */
TEST_F(ReportWindowTest, RatesAreOverTheIntervalsTheCountsCover) {
  std::string whole = page({});
  EXPECT_NE(whole.find(throughput(count(0, 62), 63, "0:01:03")), std::string::npos)
      << whole.substr(whole.find("Total throughput"), 120);
  char rate[32];
  std::snprintf(rate, sizeof rate, ">%.3f</td>", count(0, 62) / 63.0);
  EXPECT_NE(whole.find(rate), std::string::npos) << rate;
  EXPECT_NE(whole.find("the window's duration (0:01:03)"), std::string::npos);

  std::string part = page({"--from", "+10s", "--to", "+20s"});
  EXPECT_NE(part.find(throughput(count(10, 20), 11, "0:00:11")), std::string::npos)
      << part.substr(part.find("Total throughput"), 120);
  EXPECT_NE(part.find("(+0:00:10 .. +0:00:21 of the run, 0:00:11)"), std::string::npos);
  std::string one = page({"--from", "+10s", "--to", "+10s"});
  EXPECT_NE(one.find(throughput(count(10, 10), 1, "0:00:01")), std::string::npos)
      << one.substr(one.find("Total throughput"), 120);
  // past the migration's recorded end: the samples there count, and their time too
  std::string tail = page({"--from", "+40s"});
  EXPECT_NE(tail.find(throughput(count(40, 62), 23, "0:00:23")), std::string::npos)
      << tail.substr(tail.find("Total throughput"), 120);
  EXPECT_NE(tail.find("(+0:00:40 .. +0:01:03 of the run, 0:00:23)"), std::string::npos);
}

/* A unit that does not fit its statistic is refused as a line that cannot
 * be read is: s and ms only for times, /s only for rate, none for count. */
TEST_F(ReportWindowTest, ATargetWhoseUnitDoesNotFitItsStatisticIsAUsageError) {
  std::string targets = store.dir() + "/targets";
  for (const char *line : {"Login rate >= 2ms", "Login p95 < 20000/s", "Login count > 5s",
                           "Login max < 1/s", "Login rate > 1s"}) {
    vzu_test::write_file(targets, std::string("Login mean < 1s\n") + line + "\n");
    page({"--targets", targets}, 2);
    EXPECT_NE(last.err.find(targets + ":2: '" + line + "'"), std::string::npos) << last.err;
  }
  vzu_test::write_file(targets, "Login p95 < 1000\nLogin rate >= 2/s\nLogin count > 5\n");
  std::string html = page({"--targets", targets});
  EXPECT_NE(html.find("3 of 3 met"), std::string::npos);
}

/* A selection without the transactions has no throughput to show and no
 * transaction to hold a target to; it says so rather than "0" and "no such
 * transaction". */
TEST_F(ReportWindowTest, ASelectionWithoutTransactionsHasNoThroughputNorTargets) {
  std::string targets = store.dir() + "/targets";
  vzu_test::write_file(targets, "Login p95 < 1s\n");
  std::string html = page({"--group", "Hosts", "--targets", targets});
  EXPECT_NE(html.find("<th>Total throughput</th><td>- (no transaction times in this "
                      "selection)</td>"),
            std::string::npos)
      << html.substr(html.find("Total throughput"), 120);
  EXPECT_NE(html.find("Login p95 &lt; 1s</td><td>not in this selection</td>"), std::string::npos);
  // errors without the transactions they are counted against: no rate of 0 %
  html = page({"--group", "Errors"});
  EXPECT_NE(html.find("<th>Error rate</th><td>- (126 errors and failures, no transactions in "
                      "this selection)</td>"),
            std::string::npos)
      << html.substr(html.find("Error rate"), 120);
  // without a selection, a transaction the run lacks is none
  vzu_test::write_file(targets, "Logout p95 < 1s\n");
  html = page({"--targets", targets});
  EXPECT_NE(html.find("Logout p95 &lt; 1s</td><td>no such transaction</td>"), std::string::npos);
}

}  // namespace

namespace {

/* A store of one times graph "Load" over `n` one-second intervals, series
 * S1 at `level` (with a wave and noise both stores share the shape of) and S2
 * steady. */
void fill_store(int n, double level, unsigned noise) {
  ASSERT_EQ(tsdb_init_migration(START), 0);
  int load = register_group("Load", {3});
  Vec s1("S1", 1), s2("S2", 1);
  for (int i = 0; i < n; i++) {
    double wave = 1 + 0.5 * std::sin(i * 6.283 / 600),
           jitter = ((i * 7919 + noise * 104729) % 97) / 970.0;
    double avg = level * wave * (1 + jitter);
    s1.insert(load, {avg, avg / 2, avg * 2, 5}, 1);
    s2.insert(load, {200 * (1 + jitter), 100, 400, 3}, 1);
    tsdb_migration_increment_sample_ex(1);
  }
  ASSERT_EQ(tsdb_exit_migration(START + n), 0);
}

/* Printing ("Save as PDF") a medium run's report: every chart is drawn in
 * the PDF (a drawn canvas becomes an image object), not only those that were
 * in view. */
TEST(ReportPrint, AMediumReportPrintsEveryChartDrawn) {
  if (chromium().empty()) GTEST_SKIP() << "chromium is not installed (Debian package chromium)";
  vzu_test::TempRun run(1);
  RunResult g = vzu_test::run_program(
      vzu_test::bin_dir() + "/make_sample_run",
      {"--wdir", run.wdir(), "--testrun", "1", "--preset", "medium", "--noise-seed", "1"},
      vzu_test::real_store_env());
  ASSERT_EQ(g.status, 0) << g.err;
  auto env = vzu_test::real_store_env();
  env.push_back({"TW_WDIR", run.wdir()});
  RunResult m = vzu_test::run_program(vzu_test::tool_path(), {"-t", "1"}, env);
  ASSERT_EQ(m.status, 0) << m.err;
  std::filesystem::create_directories(REPORT_ARTIFACT_DIR);
  std::string page = std::string(REPORT_ARTIFACT_DIR) + "/report_print_test.html";
  std::string pdf = std::string(REPORT_ARTIFACT_DIR) + "/report_print_test.pdf";
  // Targets in seconds of a graph in ms.
  std::string targets = run.wdir() + "/targets";
  vzu_test::write_file(targets, "Login p95 < 60s\nLogin mean < 0.001s\n");
  RunResult r = vzu_test::run_program(ORVTSDB_COMMAND,
                                      {"report", run.run_dir(), "-o", page, "--targets", targets});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("1 of 2 targets missed"), std::string::npos) << r.err;
  std::string html = vzu_test::read_file(page);
  size_t login = html.find("Login p95 &lt; 60s</td><td>");
  ASSERT_NE(login, std::string::npos);
  EXPECT_NE(html.find(" s</td><td class=\"pass\">pass", login), std::string::npos)
      << html.substr(login, 100);
  size_t charts = 0;
  for (size_t p = 0; (p = html.find("class=\"chart\"", p)) != std::string::npos; p++) charts++;
  ASSERT_GT(charts, 50u) << "a medium run has many graphs";
  std::filesystem::remove(pdf);
  RunResult b = browse(page, run.wdir() + "/profile", {"--print-to-pdf=" + pdf});
  ASSERT_EQ(b.status, 0) << b.err;
  std::string doc = vzu_test::read_file(pdf);
  size_t images = 0;
  for (const char *key : {"/Subtype /Image", "/Subtype/Image"})
    for (size_t p = 0; (p = doc.find(key, p)) != std::string::npos; p++) images++;
  EXPECT_GE(images, charts) << "of " << charts << " charts only some were drawn for print";
}

TEST(ComparePage, ChromiumDrawsOneOverlayChartPerChangedMetric) {
  if (chromium().empty()) GTEST_SKIP() << "chromium is not installed (Debian package chromium)";
  TempStore base;
  fill_store(3600, 1000, 1);
  TempStore cand;
  fill_store(3600, 1500, 2);
  std::string page = cand.dir() + "/compare.html";
  RunResult r = vzu_test::run_program(
      ORVTSDB_COMMAND, {"compare", base.db(), cand.db(), "--html", page, "--format", "json"});
  ASSERT_EQ(r.status, 0) << r.err;
  Json rows = Json::parse(r.out)["metrics"];
  ASSERT_EQ(rows.size(), 1u) << rows.dump();
  EXPECT_EQ(rows[0]["verdict"], "slower");
  Json probe = probe_page(page, cand.dir());
  ASSERT_FALSE(probe.is_null());
  EXPECT_TRUE(probe["errors"].empty()) << probe["errors"];
  EXPECT_EQ(probe["charts"], 1);
  ASSERT_EQ(probe["data"].size(), 1u);
  const Json &chart = probe["data"].begin().value();
  EXPECT_EQ(chart["labels"], Json({"time", "baseline", "candidate"}));
  EXPECT_GT(chart["rows"].size(), 100u);
}

}  // namespace
