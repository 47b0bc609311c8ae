/*
 * chunk_writer.h - closed chunks encoded and stored on a worker thread.
 *
 * The migration's caller feeds the store from one thread; the compression
 * and the SQLite inserts of closed chunks run on this writer's own thread so
 * that, on two cores, they overlap the caller's decoding. A closed chunk is
 * handed over whole (its sample-major buffer moves to the job). Chunks go over
 * in batches of about BATCH_BYTES of rows: one lock and one wake-up a batch,
 * not a thread hand-off for every chunk. Storing a chunk costs more than
 * decoding it, so the worker falls behind: when MAX_QUEUED_BYTES wait, the
 * caller's thread stores the oldest waiting batch itself (with its own
 * encoder) instead of sleeping, and drain() does the same with what is left.
 * Both cores then encode; the inserts take turns on the backend mutex. The
 * order of chunk rows in the store does not matter (readers go by series and
 * time).
 *
 * The backend is shared: every call into it, from either thread, holds
 * backend_mutex(). The first failure stops the writer (later jobs are
 * dropped) and stays readable through failed() / error(); drain() waits for
 * the queue to empty and says whether everything was stored. Out of memory
 * on the worker is such a failure, never an exception.
 */
#ifndef ORVTSDB_CHUNK_WRITER_H
#define ORVTSDB_CHUNK_WRITER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "chunk_codec.h"
#include "store_backend.h"

namespace orvtsdb {

/* Where a graph's roles sit in a vector's row of elements. */
struct GraphSlot {
  int graph, offset, roles, data_type;
};

struct GroupLayout {
  int num_graphs = 0, total_elements = 0;
  std::vector<GraphSlot> slots;
};

/* One closed chunk of a series: every graph of its layout, `count` rows of
 * the layout's total elements. */
struct ChunkJob {
  int64_t sid = 0, start = 0, step = 0;
  int count = 0;
  std::shared_ptr<const GroupLayout> layout;
  std::unique_ptr<double[]> rows;
};

class ChunkWriter {
 public:
  /* Starts the worker on `backend`, which must outlive this writer. Throws
   * std::system_error when no thread can be started. */
  explicit ChunkWriter(StoreBackend &backend);
  /* Stops the worker; jobs still queued are dropped. */
  ~ChunkWriter();
  ChunkWriter(const ChunkWriter &) = delete;
  ChunkWriter &operator=(const ChunkWriter &) = delete;

  /* Adds a chunk to the batch being filled, and hands the batch over once it
   * holds BATCH_BYTES (storing the oldest waiting batches first while
   * MAX_QUEUED_BYTES of rows wait). false when the writer has failed: the job
   * is dropped. Caller's thread only. */
  bool submit(ChunkJob &&job);
  /* Hands over the batch being filled, stores what still waits alongside the
   * worker and returns once every chunk is stored; false with the failure in
   * err. */
  bool drain(std::string &err);
  /* Whether a chunk could not be stored; error() says why. Cheap. */
  bool failed() const { return failed_.load(std::memory_order_acquire); }
  std::string error();
  /* Samples (chunk counts, per graph) stored so far. Valid after drain(). */
  int64_t stored_samples() const { return stored_samples_; }
  /* Held around every backend call, on either thread. */
  std::mutex &backend_mutex() { return backend_mutex_; }

  /* Rows waiting at most (one job more when it alone is larger): memory stays
   * bounded when the worker falls behind. */
  static constexpr size_t MAX_QUEUED_BYTES = 8u << 20;
  static constexpr size_t BATCH_BYTES = 1u << 20;

 private:
  bool hand_over();
  void run();
  /* What one thread needs to store batches: its encoder and the encoded
   * chunks of the batch at hand, inserted together. */
  struct Storer {
    ChunkEncoder encoder;
    std::vector<uint8_t> blobs;
    std::vector<size_t> offsets;
    std::vector<ChunkRecord> chunks;
  };
  /* Stores the oldest queued batch with s; the caller holds `lock` (on
   * mutex_), which is released while it works. false when none waits. */
  bool store_oldest(std::unique_lock<std::mutex> &lock, Storer &s);
  bool encode(const ChunkJob &job, Storer &s, std::string &err);
  bool insert(Storer &s, std::string &err);
  void fail(const std::string &why);

  StoreBackend &backend_;
  std::mutex backend_mutex_;
  std::mutex mutex_;  // guards queue_, queued_bytes_, storing_, stop_, error_
  std::condition_variable wake_, idle_;
  std::deque<std::vector<ChunkJob>> queue_;  // whole batches: one move each
  size_t queued_bytes_ = 0;                  // rows queued or being stored
  int storing_ = 0;                          // batches being stored, by either thread
  std::vector<ChunkJob> batch_;              // caller's thread only
  size_t batch_bytes_ = 0;
  bool stop_ = false;
  std::string error_;
  std::atomic<bool> failed_{false};
  int64_t stored_samples_ = 0;  // under backend_mutex_ until drain()
  Storer worker_;               // worker only
  Storer caller_;               // caller's thread only
  std::thread thread_;          // last: starts once the rest exists
};

}  // namespace orvtsdb

#endif
