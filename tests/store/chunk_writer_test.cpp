/*
 * chunk_writer_test.cpp - the hand-over of closed chunks between the
 * migration's thread and the writer's: when the worker falls behind, the
 * caller's thread stores waiting batches itself, and every chunk is stored
 * once, whichever thread stores it; a failure on either thread stops both
 * with one error.
 */
#include <gtest/gtest.h>

#include <chrono>
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
  ChunkJob j{sid, start, 10, kSamples, l, std::make_unique<double[]>(kSamples * 4)};
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

}  // namespace
