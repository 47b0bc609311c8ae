/*
 * vector_list_test.cpp - vector rows across versions: one- and two-token
 * adds, moves, deletes with their store calls (seen through the recording
 * store), re-activation, raw indexes and names the generated end-to-end runs
 * do not hold, and the rebuild per partition.
 */
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "vira_zedazad_uvoz_izu.h"
#include "vzu_test_support.h"

namespace {

std::string record_path() { return vzu_test::in_process_record_path(); }

class Vectors : public testing::Test {
 protected:
  void SetUp() override {
    free_vector_list_struct(); /* as the loop does before every partition */
    vzu_test::write_file(record_path(), "");
    unsetenv("ORVTSDB_RECORD_DELETE_STATUS");
  }

  /* A registered group of one graph per data type, block at `start`. */
  static int define(int rpt_id, const char *type, int start, std::vector<std::string> types,
                    int num_vectors = 10) {
    int idx = init_tsdb_group_info();
    std::string name = "grp" + std::to_string(idx), t = type, h = "-", d = "desc", m = "m";
    fill_group_info(name.data(), rpt_id, static_cast<int>(types.size()), num_vectors, t.data(),
                    h.data(), d.data(), m.data(), idx);
    tsdb_info[idx].start_index_of_graph = start;
    std::string g = "graph", gt = "vector", f = "NA", s = "0", p = "H";
    for (auto &dt : types)
      fill_graph_info(g.data(), d.data(), gt.data(), dt.data(), f.data(), s.data(), p.data(), 1, -1,
                      idx);
    vzu_test::write_file(record_path(), ""); /* keep only what follows */
    return idx;
  }
  static void one(int g, std::string token) { add_vector_one_token(g, token.data()); }
  static void two(int g, std::string name, std::string index) {
    std::string line = name + " " + index;
    char *fields[] = {name.data(), index.data()};
    process_vector_list(nullptr, fields, g, line.data());
  }
  static const Vector_list &row(int g, int r) { return tsdb_info[g].vector_list_ptr[r]; }
  static std::vector<std::string> record() {
    return vzu_test::split_lines(vzu_test::read_file(record_path()));
  }
};

/* (Names and layout offsets of every report id class are compared end to
 * end; here what the generated runs do not hold.) Later versions find a
 * built-in vector by its listed name and add unprefixed. */
TEST_F(Vectors, LaterVersionsOfABuiltinGroup) {
  int g = define(5, "vector", 1000, {"sample_2B_100_count_4B", "times"});
  for (const char *n : {"Home\n", "Login\n", "Logout\n"}) one(g, n);
  set_rtg_index_and_vuvoravu_on_tw_gdf();
  EXPECT_EQ(1038, row(g, 1).rtg_idx);
  two(g, "Login", "2000");
  EXPECT_EQ(2000, row(g, 1).rtg_idx);
  two(g, "Cart", "3000");
  EXPECT_STREQ("Cart", row(g, 3).vector_name);
}

TEST_F(Vectors, IndexesAndNamesOutsideTheGeneratedClasses) {
  int listed = define(2001, "vector", 64, {"sample"});
  two(listed, "x", "900");
  one(listed, "y\n");
  int builtin = define(3, "vector", 64, {"sample"});
  two(builtin, "p", "100");
  one(builtin, "q\n");
  int high_scalar = define(2002, "scalar", 600, {"sample"});
  int remapped = define(10469, "scalar", 700, {"sample"});
  set_rtg_index_and_vuvoravu_on_tw_gdf();
  EXPECT_EQ(0, tsdb_info[high_scalar].total_vector_entries);
  EXPECT_EQ(0, tsdb_info[remapped].total_vector_entries);
  EXPECT_EQ(-1, row(listed, 1).rtg_idx);
  EXPECT_STREQ("VuvoRavu>p", row(builtin, 0).vector_name);
  EXPECT_STREQ("VuvoRavu>q", row(builtin, 1).vector_name);
  EXPECT_EQ(100, row(builtin, 0).rtg_idx);
  EXPECT_EQ(-1, row(builtin, 1).rtg_idx);
}

TEST_F(Vectors, MovesAndOddTokens) {
  int g = define(2000, "vector", 0, {"sample"});
  two(g, "a1", "16");
  two(g, "a1", "16");
  EXPECT_EQ(16, row(g, 0).rtg_idx);
  two(g, "a1", "24");
  EXPECT_EQ(24, row(g, 0).rtg_idx);
  two(g, "b1", "\n"); /* a blank before the line end: index token is the newline */
  EXPECT_EQ(0, row(g, 1).rtg_idx);
  one(g, "#-c\n"); /* a lone delete name is an add */
  EXPECT_STREQ("#-c", row(g, 2).vector_name);
  one(g, "a1\n"); /* one-token names are not looked up: a second row, same id */
  EXPECT_EQ(4, tsdb_info[g].total_vector_entries);
  EXPECT_EQ(row(g, 0).vector_idx, row(g, 3).vector_idx);
  EXPECT_TRUE(record().empty());
}

TEST_F(Vectors, DeleteAndReactivate) {
  int g = define(2000, "vector", 0, {"sample"});
  two(g, "a", "40");
  two(g, "b", "48");
  two(g, "#-a", "99");
  two(g, "#-nobody", "0");
  EXPECT_EQ(1, row(g, 0).delete_flag);
  EXPECT_EQ(40, row(g, 0).rtg_idx);
  EXPECT_TRUE(record().empty()) << "never registered: no store call";
  two(g, "a", "80");
  EXPECT_EQ(0, row(g, 0).delete_flag);
  EXPECT_EQ(40, row(g, 0).rtg_idx) << "a delete keeps the index";
  tsdb_info[g].vector_list_ptr[1].rtg_idx = -1; /* as a partition switch leaves it */
  tsdb_info[g].vector_list_ptr[1].delete_flag = 1;
  two(g, "b", "80");
  EXPECT_EQ(80, row(g, 1).rtg_idx);
  EXPECT_EQ(2, tsdb_info[g].total_vector_entries);
}

/* Gives row r a metric id and values, as the writer does at its first insert. */
void register_in_store(int g, int r) {
  Vector_list &v = tsdb_info[g].vector_list_ptr[r];
  v.metric_id = tsdb_malloc_metric_id_buffer(tsdb_info[g].total_graph_entries);
  v.data = static_cast<double *>(calloc(tsdb_info[g].total_elements, sizeof(double)));
  v.data[0] = 7;
  v.metrics_idx_found = 1;
}

TEST_F(Vectors, DeleteOfStoredVectorFlushesAtPreviousFrequencyThenDeletes) {
  int g = define(2000, "vector", 0, {"sample", "times"});
  two(g, "a", "40");
  register_in_store(g, 0);
  g_prev_frequency = 10;
  g_frequency = 60;
  two(g, "#-a", "0");
  auto rec = record();
  ASSERT_EQ(4u, rec.size());
  EXPECT_EQ(
      "tsdb_insert_bulk_metric_by_id metric=m1 gran=10 num_graphs=2 total=5 "
      "data=7,0,0,0,0 -> 0",
      rec[1]);
  EXPECT_EQ("tsdb_delete_metric_by_id metric=m1 -> 0", rec[2]);
  EXPECT_EQ("tsdb_free_metric_id_buffer metric=m1", rec[3]);
  EXPECT_EQ(nullptr, row(g, 0).metric_id);
  EXPECT_EQ(0, row(g, 0).metrics_idx_found);

  /* A refused delete keeps the buffer for the process's lifetime. */
  setenv("ORVTSDB_RECORD_DELETE_STATUS", "255", 1);
  two(g, "b", "48");
  register_in_store(g, 1);
  two(g, "#-b", "0");
  EXPECT_NE(nullptr, row(g, 1).metric_id);
  EXPECT_EQ("tsdb_delete_metric_by_id metric=m2 -> 255", record().back());
}

TEST_F(Vectors, RebuildDropsRowsAndNames) {
  int g = define(2000, "vector", 0, {"sample"});
  two(g, "a", "40");
  two(g, "b", "48");
  register_in_store(g, 1);
  free_vector_list_struct();
  EXPECT_EQ(0, tsdb_info[g].total_vector_entries);
  EXPECT_EQ(nullptr, tsdb_info[g].vector_list_ptr);
  EXPECT_TRUE(record().size() == 1u) << "nothing sent to the store at a rebuild";
  two(g, "b", "8");
  EXPECT_EQ(0, row(g, 0).vector_idx);
  EXPECT_GE(tsdb_info[g].mg_gid, 0);
}

}  // namespace
