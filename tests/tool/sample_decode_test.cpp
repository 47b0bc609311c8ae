/*
 * sample_decode_test.cpp - decoding of one vector's block of a packet: the
 * extremes of each width and its reserved value, the formula step, which
 * packets take part in a merge window, refused blocks and dump records. Every
 * data type's scale and every family's merge rule are checked value by value
 * end to end.
 * Groups are built by hand with the layout the definition reader gives them.
 */
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "orvtsdb_data_types.h"
#include "vira_zedazad_uvoz_izu.h"
#include "vzu_test_support.h"

namespace {

constexpr double M = TSDB_MISSING_VALUE;

/* A complete group of graphs of the given data types with one vector "V0"
 * whose block starts at byte 48 of a packet. */
struct Group {
  TSDB_INFO g{};
  tsdb_metric_group rec{};
  std::vector<tsdb_metric_info> graphs;
  std::vector<int> num_el, widths, graph_width;
  Vector_list vec{};
  char name[3] = "V0";

  explicit Group(std::vector<int> types, int formula = FORMULA_SEC) : graphs(types.size()) {
    snprintf(rec.group_name, sizeof rec.group_name, "G");
    rec.num_graphs = static_cast<unsigned short>(types.size());
    for (int type : types) add_graph(type, formula);
    for (int e = 0; e < g.total_elements; ++e) g.total_elements_size += widths[e];
    g.tsdb_group_data_ptr = &rec;
    g.tsdb_metric_ptr = graphs.data();
    g.total_graph_entries = static_cast<int>(types.size());
    g.num_elements = num_el.data();
    g.graph_element_size = graph_width.data();
    g.elements_size = widths.data();
    g.elements_done = 1;
    g.vector_list_ptr = &vec;
    g.total_vector_entries = 1;
    vec.vector_name = name;
    vec.rtg_idx = RTG_HDR_LEN;
    vec.data = static_cast<double *>(calloc(g.total_elements, sizeof(double)));
    vec.sample_count = static_cast<int *>(calloc(g.total_graph_entries, sizeof(int)));
  }
  ~Group() {
    free(vec.data);
    free(vec.sample_count);
    free(vec.metric_id);
  }
  Group(const Group &) = delete;
  Group &operator=(const Group &) = delete;

  void add_graph(int type, int formula) {
    const orv_data_type_t &t = ORV_DATA_TYPES[type];
    graphs[num_el.size()].data_type = static_cast<unsigned char>(type);
    snprintf(graphs[num_el.size()].graph_name, 257, "graph%zu", num_el.size());
    num_el.push_back(t.elements);
    graph_width.push_back(t.width);
    for (int i = 0; i < t.elements; ++i) {
      widths.push_back(t.width == 6 ? (i == 0 ? 2 : 4) : t.width);
      g.graph_formula_type[g.total_elements++] = formula;
    }
    if (t.width < 8) g.type_cast_reqd = 1;
  }
  int packet_size() const { return RTG_HDR_LEN + g.total_elements_size; }
  std::vector<double> data() const { return {vec.data, vec.data + g.total_elements}; }

  /* Appends a packet whose vector holds the stored elements `raw`. */
  void put(vzu_test::PacketWriter &w, const std::vector<double> &raw) const {
    int off = RTG_HDR_LEN;
    for (size_t e = 0; e < raw.size(); ++e) {
      switch (widths[e]) {
        case 1: w.i8(off, static_cast<int8_t>(raw[e])); break;
        case 2: w.i16(off, static_cast<int16_t>(raw[e])); break;
        case 4: w.i32(off, static_cast<int32_t>(raw[e])); break;
        default: w.f64(off, raw[e]); break;
      }
      off += widths[e];
    }
  }
};

/* Decodes vector 0 of packet `k` of `file` (width-aware). */
int decode(Group &G, std::string &file, int k, bool merge = false, bool open = false,
           bool close = false) {
  char name[] = "/run/rtgMessage.dat";
  return get_type_cast_and_send_to_tsdb(&G.g, G.vec.rtg_idx, k * G.packet_size(), 0, file.data(),
                                        static_cast<int>(file.size()), G.packet_size(), name, merge,
                                        2, close, open);
}

/* One packet per raw vector; decodes them at unchanged frequency and returns
 * vector 0's data after the last. */
std::vector<double> decode_one(Group &G, const std::vector<double> &raw) {
  vzu_test::PacketWriter w(G.packet_size());
  w.packet(1, 1, 1000);
  G.put(w, raw);
  std::string file = w.bytes();
  EXPECT_EQ(decode(G, file, 0), 0);
  return G.data();
}

/* Merges the packets `raws` as one window (first opens, last closes). */
std::vector<double> merge(Group &G, const std::vector<std::vector<double>> &raws) {
  vzu_test::PacketWriter w(G.packet_size());
  for (size_t k = 0; k < raws.size(); ++k) {
    w.packet(1, static_cast<double>(k + 1), 1000.0 * k);
    G.put(w, raws[k]);
  }
  std::string file = w.bytes();
  for (size_t k = 0; k < raws.size(); ++k)
    EXPECT_EQ(decode(G, file, static_cast<int>(k), true, k == 0, k + 1 == raws.size()), 0);
  return G.data();
}

class SampleDecode : public ::testing::Test {
 protected:
  void SetUp() override {
    g_frequency = 10;
    sd_log_tracing_level = 0;
    dump_data_flag = 0;
    g_debug_level = 0;
  }
};

/* Decodes one packet whose vector block holds exactly `block` (little-endian
 * bytes as they lie in the file) at unchanged frequency. */
std::vector<double> decode_bytes(Group &G, const std::string &block) {
  vzu_test::PacketWriter w(G.packet_size());
  w.packet(1, 1, 1000);
  std::string file = w.bytes();
  file.replace(RTG_HDR_LEN, block.size(), block);
  EXPECT_EQ(decode(G, file, 0), 0);
  return G.data();
}

uint64_t bits_of(double v) {
  uint64_t b;
  memcpy(&b, &v, sizeof b);
  return b;
}

/* The stored bit patterns themselves: per width exactly one reserved value
 * (1 byte 0x81, 2 bytes 0x8001, 4 bytes 0x80000001) becomes the marker, whose
 * bits are 0xC3E0000000000000; its neighbours and the reserved value of
 * another width are plain signed numbers, and a double has no reserved value. */
TEST_F(SampleDecode, WidthsWidenSignedAndMapReservedValuesToTheMarker) {
  /* sample_1B, sample_2B_100, sample_4B, sample: 1 + 2 + 4 + 8 bytes */
  Group G({14, 8, 13, 0});
  const std::string marker_double("\x00\x00\x00\x00\x00\x00\xE0\xC3", 8);
  auto d = decode_bytes(G, std::string("\x81\x01\x80\x01\x00\x00\x80", 7) + marker_double);
  for (double v : d) EXPECT_EQ(bits_of(v), 0xC3E0000000000000u);

  d = decode_bytes(G, std::string("\x80\x00\x80\x00\x00\x00\x80", 7) + std::string(8, '\0'));
  EXPECT_EQ(d, (std::vector<double>{-128, -327.68, -2147483648.0, 0}));
  d = decode_bytes(G, std::string("\x82\x02\x80\x02\x00\x00\x80", 7) + std::string(8, '\0'));
  EXPECT_EQ(d, (std::vector<double>{-126, -327.66, -2147483646.0, 0}));
  d = decode_bytes(G, std::string("\x7F\xFF\x7F\xFF\xFF\xFF\x7F", 7) +
                          std::string("\x00\x00\x00\x00\x00\x00\xF8\x3F", 8));
  EXPECT_EQ(d, (std::vector<double>{127, 327.67, 2147483647, 1.5}));
  /* -127 stored in 2 and 4 bytes, -32767 stored in 4 bytes: not reserved there */
  d = decode_bytes(G, std::string("\x00\x81\xFF\x01\x80\xFF\xFF", 7) + std::string(8, '\0'));
  EXPECT_EQ(d, (std::vector<double>{0, -1.27, -32767, 0}));
}

TEST_F(SampleDecode, FormulaAppliesToEveryElementAndSparesTheMarker) {
  Group kbps({13, 3}, FORMULA_KBPS); /* sample_4B, times */
  auto d = decode_one(kbps, {1280, 2560, M, 0, 1280});
  EXPECT_EQ(d, (std::vector<double>{1.0, 2.0, M, 0, 1.0}));
  g_frequency = 60;
  EXPECT_EQ(decode_one(kbps, {7680, 0, 0, 0, 0})[0], 1.0);

  Group dbh({9}, FORMULA_DBH); /* sample_4B_1000: scale after formula */
  EXPECT_EQ(decode_one(dbh, {250000})[0], 2.5);
  EXPECT_EQ(decode_one(dbh, {RTG_MISSING_I32})[0], M);
}

/* The designed one-graph entry points address a graph by its last element:
 * each test puts the graph behind another one so that a wrong offset shows. */
TEST_F(SampleDecode, FormulaStepOnOneElement) {
  Group G({0, 0});
  G.vec.data[0] = 1280;
  G.vec.data[1] = M;
  handle_formula_type(FORMULA_KBPS, &G.g, 0, 0, -1, -1);
  handle_formula_type(FORMULA_KBPS, &G.g, 0, 1, -1, -1);
  EXPECT_EQ(G.data(), (std::vector<double>{1.0, M}));
  G.vec.data[1] = 250;
  handle_formula_type(FORMULA_DBH, &G.g, 0, 1, -1, -1);
  handle_formula_type(FORMULA_SEC, &G.g, 0, 0, -1, -1);
  handle_formula_type(FORMULA_PM, &G.g, 0, 0, -1, -1);
  EXPECT_EQ(G.data(), (std::vector<double>{1.0, 2.5}));
}

TEST_F(SampleDecode, ScaleStepOnOneGraphSparesItsCountAndTheMarker) {
  /* sample, times_4B_1000, sample_2B_100_count_4B, timesStd_4B_1000 */
  Group G({0, 7, 10, 12});
  std::vector<double> in = {3, 2500, 1000, 4000, 7, 150, 9, 5000, M, 3000, 4, 6000};
  std::copy(in.begin(), in.end(), G.vec.data);
  revert_data_type_changes_done_in_rtg(&G.g, 7, 0, 4);
  revert_data_type_changes_done_in_rtg(&G.g, 10, 0, 6);
  revert_data_type_changes_done_in_rtg(&G.g, 12, 0, 11);
  revert_data_type_changes_done_in_rtg(&G.g, 0, 0, 0);
  EXPECT_EQ(G.data(), (std::vector<double>{3, 2.5, 1.0, 4.0, 7, 1.5, 9, 5.0, M, 3.0, 4, 6.0}));
}

TEST_F(SampleDecode, MergeOfOneGraphKeepsItsWindowInTheVector) {
  Group G({0, 3}); /* sample, times: elements 0 and 1..4 */
  double a[] = {10, 10, 10, 1}, b[] = {20, 5, 30, 3};
  agg_sample_value_based_on_graph_type(&G.g, a, 0, 4, 1, 0, 1, 2);
  agg_sample_value_based_on_graph_type(&G.g, b, 0, 4, 1, 1, 0, 2);
  EXPECT_EQ(G.data(), (std::vector<double>{0, 17.5, 5, 30, 4}));
  double four[] = {4}, six[] = {6};
  agg_sample_value_based_on_graph_type(&G.g, four, 0, 0, 0, 0, 1, 2);
  agg_sample_value_based_on_graph_type(&G.g, six, 0, 0, 0, 1, 0, 2);
  EXPECT_EQ(G.data()[0], 5);
  EXPECT_EQ(G.vec.sample_count[0], 2);
}

TEST_F(SampleDecode, BlockOutsideTheDataOrNoDataIsRefused) {
  Group G({13});
  std::string file(static_cast<size_t>(G.packet_size()), '\0');
  G.vec.rtg_idx = G.packet_size() - 2; /* 4-byte block overhangs by 2 */
  EXPECT_EQ(decode(G, file, 0), -2);
  G.vec.rtg_idx = -60;
  EXPECT_EQ(decode(G, file, 0), -2);
  /* an index at the end of the long range: the sums must not wrap */
  file += file;
  G.vec.rtg_idx = std::numeric_limits<long>::max();
  EXPECT_EQ(decode(G, file, 1), -2);
  G.vec.rtg_idx = std::numeric_limits<long>::max() - G.packet_size() + 1;
  EXPECT_EQ(decode(G, file, 1), -2);
  G.vec.rtg_idx = RTG_HDR_LEN;
  char name[] = "f";
  EXPECT_EQ(get_type_cast_and_send_to_tsdb(&G.g, 0, 0, 0, nullptr, G.packet_size(), G.packet_size(),
                                           name, 0, 1, 1, 0),
            -1);
  EXPECT_EQ(decode_double_vector(&G.g, 0, 0, nullptr, G.packet_size(), G.packet_size(), name), -1);
}

/* Only valid packets take part in a window: a missing value, or for times a
 * missing or zero count; a zero sum is stored as missing; the average is
 * taken before the scale and the formula. */
TEST_F(SampleDecode, WindowsAverageValidPacketsOnly) {
  Group G({0});
  EXPECT_EQ(merge(G, {{4}, {M}})[0], 4);
  EXPECT_EQ(merge(G, {{0}, {0}})[0], M);
  Group scaled({9}, FORMULA_DBH);
  EXPECT_DOUBLE_EQ(merge(scaled, {{1000}, {3000}, {RTG_MISSING_I32}, {2000}})[0], 0.02);
  Group times({3});
  EXPECT_EQ(merge(times, {{99, 1, 999, M}, {10, 6, 12, 2}, {50, 2, 80, 0}}),
            (std::vector<double>{10, 6, 12, 2}));
}

TEST_F(SampleDecode, DumpRecordsShowTheValueHeldPerElement) {
  char path[] = "/tmp/vzu_dump_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  g_rtg_data_fd = fd;
  dump_data_flag = 1;
  Group G({9, 0});
  decode_one(G, {250, 1.5});
  merge(G, {{1000, 4}, {3000, 6}});
  dump_data_flag = 0;
  close(fd);
  std::string text = vzu_test::read_file(path);
  unlink(path);
  int ps = G.packet_size();
  auto rec = [&](const std::string &value, int start, int size, int width) {
    return "/run/rtgMessage.dat|G|V0|48|" + value + "|" + std::to_string(ps) + "|" +
           std::to_string(size) + "|" + std::to_string(start) + "|2|" + std::to_string(width) +
           "\n\n";
  };
  /* unchanged frequency: after the formula, before the scale; merge mode: the
   * running value from before the packet */
  EXPECT_EQ(text, rec("250.000000", 0, ps, 4) + rec("1.500000", 0, ps, 8) +
                      rec("0.250000", 0, 2 * ps, 4) + rec("1.500000", 0, 2 * ps, 8) +
                      rec("1000.000000", ps, 2 * ps, 4) + rec("4.000000", ps, 2 * ps, 8));
}

}  // namespace
