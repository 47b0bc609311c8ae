/*
 * chunk_writer.h - closed chunks encoded and stored on a worker thread.
 *
 * The migration's caller feeds the store from one thread; the compression
 * and the SQLite inserts of closed chunks run on this writer's own thread so
 * that, on two cores, they overlap the caller's decoding. A closed chunk is
 * handed over whole (its sample-major buffer moves to the job), or a segment
 * at a time (OpenChunk) when it outgrows its buffer. Chunks go over
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

/* A chunk that goes on over several jobs: each job's rows are one segment
 * of it, encoded as soon as the job is stored. Per graph, the segments in
 * order become chunk rows as soon as a row is full (ROW_BYTES) or the last
 * segment is in, and a segment's bytes go once every graph's rows hold it.
 * Jobs of one chunk may be stored out of order, on either thread. */
struct OpenChunk {
  int64_t start = 0, step = 0;  // of its first sample
  std::mutex mutex;             // guards the rest
  struct Segment {
    int count = 0;               // 0: not encoded yet
    std::vector<uint8_t> bytes;  // the slots' segments one after the other
    std::vector<uint32_t> ends;  // where each slot's ends in bytes
    size_t size(size_t slot) const { return ends[slot] - begin(slot); }
    uint32_t begin(size_t slot) const { return slot ? ends[slot - 1] : 0; }
  };
  std::vector<Segment> segments;
  size_t ready = 0;  // segments encoded from the first on, without a gap
  size_t total = 0;  // segments in all, once the last one is stored (0 before)
  size_t freed = 0;  // segments whose bytes are gone
  // Per slot: the first segment not yet in a row, and the time it starts.
  std::vector<size_t> next;
  std::vector<int64_t> next_start;
};

/* Samples of a series handed to the writer: every graph of its layout,
 * `count` rows of the layout's total elements. Without `chunk` the job is a
 * whole chunk; with it, segment `segment` of that chunk (`last`: its last). */
struct ChunkJob {
  int64_t sid = 0, start = 0, step = 0;
  int count = 0;
  std::shared_ptr<const GroupLayout> layout;
  std::unique_ptr<double[]> rows;
  std::shared_ptr<OpenChunk> chunk;
  int segment = 0;
  bool last = true;
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
  /* Bytes of the segments of chunks not yet complete. Cheap. */
  size_t held_bytes() const { return held_bytes_.load(std::memory_order_relaxed); }
  /* Held around every backend call, on either thread. */
  std::mutex &backend_mutex() { return backend_mutex_; }

  /* Rows waiting at most (one job more when it alone is larger): memory stays
   * bounded when the worker falls behind. 2 MiB: more queued only moves work
   * between the threads and costs the large preset's peak memory. */
  static constexpr size_t MAX_QUEUED_BYTES = 2u << 20;
  static constexpr size_t BATCH_BYTES = 1u << 20;
  /* Segments of one chunk go into one row while its blob stays within this
   * many bytes: three such rows fill a page of 16 KiB, and rows of a few
   * kilobytes pack the table's pages (see chunk_packing.h) where rows near
   * half a page or more leave much of one empty (5.4 MB of medium's 57 at
   * 8 KiB rows). */
  static constexpr size_t ROW_BYTES = 5300;

 private:
  bool hand_over();
  void run();
  /* What one thread needs to store batches: its encoder and the encoded
   * chunks of the batch at hand, inserted together. */
  struct Storer {
    ChunkEncoder encoder;
    std::vector<uint8_t> blobs, segment;
    std::vector<size_t> offsets;
    std::vector<ChunkRecord> chunks;
  };
  /* Stores the oldest queued batch with s; the caller holds `lock` (on
   * mutex_), which is released while it works. false when none waits. */
  bool store_oldest(std::unique_lock<std::mutex> &lock, Storer &s);
  bool encode(const ChunkJob &job, Storer &s, std::string &err);
  bool encode_segment(const ChunkJob &job, Storer &s, std::string &err);
  /* Adds to s the chunk rows its encoded segments fill, and lets the
   * segments that every graph's rows hold go. */
  void add_rows(OpenChunk &c, const ChunkJob &job, Storer &s);
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
  std::atomic<size_t> held_bytes_{0};
  Storer worker_;       // worker only
  Storer caller_;       // caller's thread only
  std::thread thread_;  // last: starts once the rest exists
};

}  // namespace orvtsdb

#endif
