/*
 * chunk_writer_test.cpp - the hand-over of closed chunks between the
 * migration's thread and the writer's: when the worker falls behind, the
 * caller's thread stores waiting batches itself, and every chunk is stored
 * once, whichever thread stores it; a failure on either thread stops both
 * with one error.
 */
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "chunk_writer.h"

using namespace orvtsdb;

namespace {

/* Keeps the chunks it is given (times and the thread that stored them);
 * each insert takes `delay`, so that the worker falls behind a caller that
 * only submits. Fails the `fail_at`-th insert when set. */
class SlowBackend : public StoreBackend {
 public:
  explicit SlowBackend(std::chrono::microseconds delay, int fail_at = -1)
      : delay_(delay), fail_at_(fail_at) {}
  bool begin(const MigrationRecord &, int64_t *, std::string &) override { return true; }
  bool put_group(const GroupRecord &, const std::vector<GraphRecord> &, int *,
                 std::string &) override {
    return true;
  }
  bool put_series(int, const std::string &, const TagList &, int64_t, int64_t *,
                  std::string &) override {
    return true;
  }
  bool set_series_end(int64_t, int64_t, std::string &) override { return true; }
  bool put_chunk(const ChunkRecord &c, std::string &err) override {
    std::this_thread::sleep_for(delay_);
    if (++calls == fail_at_) {
      err = "disk full";
      return false;
    }
    stored[{c.sid, c.graph, c.start_time}]++;
    const uint8_t *blob = static_cast<const uint8_t *>(c.blob);
    rows[{c.sid, c.graph, c.start_time}] = {c.count, c.step, c.data_type,
                                            std::vector<uint8_t>(blob, blob + c.blob_len)};
    threads.insert(std::this_thread::get_id());
    return true;
  }
  bool replace_run_samples(const Replacement &, std::vector<KeptSeries> *, std::string &) override {
    return true;
  }
  bool commit(const MigrationRecord &, std::string &) override { return true; }
  void abort() override {}

  // Written under the writer's backend mutex, read after drain().
  std::map<std::tuple<int64_t, int, int64_t>, int> stored;
  struct Row {
    int count;
    int64_t step, data_type;
    std::vector<uint8_t> blob;
  };
  std::map<std::tuple<int64_t, int, int64_t>, Row> rows;
  std::set<std::thread::id> threads;
  int calls = 0;

 private:
  std::chrono::microseconds delay_;
  int fail_at_;
};

constexpr int kSamples = 128;

/* A layout of two graphs (1 and 3 roles) and a job of it for series sid. */
std::shared_ptr<const GroupLayout> two_graphs() {
  auto l = std::make_shared<GroupLayout>();
  l->num_graphs = 2;
  l->total_elements = 4;
  l->slots = {{0, 0, 1, 0}, {1, 1, 3, 3}};
  return l;
}

ChunkJob job(const std::shared_ptr<const GroupLayout> &l, int64_t sid, int64_t start) {
  ChunkJob j{sid,     start, 10,  kSamples, l, std::make_unique<double[]>(kSamples * 4),
             nullptr, 0,     true};
  for (int i = 0; i < kSamples * 4; i++) j.rows[i] = (double)(sid * 1000 + i) / 100;
  return j;
}

/* Jobs of 4 KiB of rows: 8 MiB queued is 2,048 of them. */
constexpr int kJobs = 5000;

TEST(ChunkWriter, EveryChunkIsStoredOnceWhicheverThreadStoresIt) {
  SlowBackend backend(std::chrono::microseconds(20));
  auto layout = two_graphs();
  {
    ChunkWriter writer(backend);
    for (int i = 0; i < kJobs; i++) ASSERT_TRUE(writer.submit(job(layout, i % 50, i / 50 * 1280)));
    std::string err;
    ASSERT_TRUE(writer.drain(err)) << err;
    EXPECT_EQ(writer.stored_samples(), (int64_t)kJobs * 2 * kSamples);
  }
  EXPECT_EQ(backend.stored.size(), (size_t)kJobs * 2);
  for (const auto &[key, times] : backend.stored) ASSERT_EQ(times, 1);
  // The worker could not keep up alone: the caller's thread stored too.
  EXPECT_EQ(backend.threads.size(), 2u);
}

TEST(ChunkWriter, AFailureOnEitherThreadStopsTheWriterWithItsError) {
  // Early, the worker fails; late, the caller's thread is storing as well.
  for (int fail_at : {3, 3000, 9000}) {
    SlowBackend backend(std::chrono::microseconds(20), fail_at);
    auto layout = two_graphs();
    ChunkWriter writer(backend);
    bool refused = false;
    for (int i = 0; i < kJobs && !refused; i++)
      refused = !writer.submit(job(layout, i % 50, i / 50 * 1280));
    std::string err;
    EXPECT_FALSE(writer.drain(err)) << "fail_at " << fail_at;
    EXPECT_EQ(err, "disk full");
    EXPECT_TRUE(writer.failed());
    // The other thread may finish the chunks of its batch (512 at most).
    EXPECT_LT((int)backend.stored.size(), fail_at + 512);
  }
}

// A chunk handed over a segment at a time, its segments stored by either
// thread in any order, becomes rows that follow each other without a gap and
// read back as the samples given.
TEST(ChunkWriter, TheSegmentsOfAChunkBecomeRowsInTimeOrder) {
  SlowBackend backend(std::chrono::microseconds(20));
  auto layout = two_graphs();
  const int series = 60, segments = 5, step = 10;
  auto value = [](int64_t sid, int64_t t, int e) { return (double)(sid * 1000000 + t) + e * 0.25; };
  {
    ChunkWriter writer(backend);
    std::vector<std::shared_ptr<OpenChunk>> chunks(series);
    for (int k = 0; k < segments; k++) {
      for (int sid = 0; sid < series; sid++) {
        if (k == 0) {
          chunks[sid] = std::make_shared<OpenChunk>();
          chunks[sid]->start = 1000;
          chunks[sid]->step = step;
        }
        int64_t start = 1000 + (int64_t)k * kSamples * step;
        ChunkJob j{sid,         start,  step,
                   kSamples,    layout, std::make_unique<double[]>(kSamples * 4),
                   chunks[sid], k,      k == segments - 1};
        for (int i = 0; i < kSamples; i++)
          for (int e = 0; e < 4; e++) j.rows[i * 4 + e] = value(sid, start + i * step, e);
        ASSERT_TRUE(writer.submit(std::move(j)));
      }
      // Whole chunks of other series between the segments: the caller's
      // thread falls behind and stores batches too.
      for (int i = 0; i < 400; i++) ASSERT_TRUE(writer.submit(job(layout, 100 + i, k * 1280)));
    }
    std::string err;
    ASSERT_TRUE(writer.drain(err)) << err;
    EXPECT_EQ(writer.held_bytes(), 0u);
  }
  EXPECT_EQ(backend.threads.size(), 2u);
  ChunkDecoder dec;
  std::string err;
  for (int sid = 0; sid < series; sid++) {
    for (const GraphSlot &g : layout->slots) {
      int64_t t = 1000;
      auto it = backend.rows.lower_bound({sid, g.graph, INT64_MIN});
      for (; it != backend.rows.end() && std::get<0>(it->first) == sid &&
             std::get<1>(it->first) == g.graph;
           ++it) {
        const SlowBackend::Row &r = it->second;
        ASSERT_EQ(std::get<2>(it->first), t) << "sid " << sid << " graph " << g.graph;
        ASSERT_TRUE(dec.decode(chunk_seed(sid, g.graph, r.data_type, t, step), r.blob.data(),
                               r.blob.size(), err))
            << err;
        ASSERT_EQ(dec.count(), r.count);
        for (int i = 0; i < r.count; i++)
          for (int role = 0; role < g.roles; role++)
            ASSERT_EQ(dec.column(role)[i], value(sid, t + (int64_t)i * step, g.offset + role));
        t += (int64_t)r.count * step;
      }
      EXPECT_EQ(t, 1000 + (int64_t)segments * kSamples * step) << "sid " << sid;
    }
  }
}

}  // namespace
