/*
 * migration.h - one migration in progress: the sample clock, groups and their
 * element layout, series identity and the open chunk of every series.
 *
 * Each series keeps one sample-major buffer of its open chunk's rows of
 * elements; an insert copies the row in, nothing else. A buffer starts with
 * room for FIRST_ROWS rows and, when full, doubles up to CHUNK_SAMPLES rows
 * while the buffers of all open chunks and the segments the writer holds
 * stay within OPEN_BYTES. A full buffer that cannot grow goes to the writer
 * as a segment of the chunk, encoded there, and the chunk goes on in a new
 * buffer, up to CHUNK_SPAN samples while the writer holds less than
 * HELD_BYTES of segments (and the open buffers and held segments together
 * less than OPEN_BYTES + HELD_BYTES): a chunk row costs the store its
 * header, check and index entry whatever it holds, so chunks grow long
 * without a run of many series open at once keeping them as doubles. A
 * change of granularity, a gap longer than MAX_GAP_FILL steps or the
 * series' end closes the chunk: the buffer goes to the ChunkWriter, whose
 * worker thread encodes every graph's roles and hands them to the backend.
 * A shorter gap is filled with missing markers so that chunks stay long when a
 * few samples are lost. Series without an insert for IDLE_STEPS clock steps
 * are flushed and drop their buffer, so memory follows the series in use, not
 * the length of the run.
 *
 * A second write at one time replaces the first (the last write wins), also
 * when the chunk of the first closed in between: a chunk that closes with its
 * last sample at the clock (full, its series ended, its group registered
 * again with other graphs) waits, closed, until the series writes again or
 * goes idle, so that two chunks of a series never share a time. A write at
 * that time into rows of another layout drops the waiting chunk's last
 * sample instead.
 *
 * Owns its backend and writer; everything becomes visible at finish(). Its
 * caller is one thread; backend calls from it hold the writer's backend
 * mutex, as the worker's do.
 */
#ifndef ORVTSDB_MIGRATION_H
#define ORVTSDB_MIGRATION_H

#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "chunk_codec.h"
#include "chunk_writer.h"
#include "store_backend.h"

namespace orvtsdb {

constexpr int CHUNK_SAMPLES = 512, FIRST_ROWS = 128;
constexpr size_t OPEN_BYTES = 24u << 20;
constexpr int IDLE_STEPS = 128;
/* A chunk goes on in a new buffer when its buffer fills, up to CHUNK_SPAN
 * samples, while the writer holds less than HELD_BYTES of encoded segments
 * of chunks still open. Chunks of 512 samples take the rows of the wide
 * preset to one per series, graph and partition; HELD_BYTES is what its
 * 955 series hold at once, and with it the large preset's peak memory stays
 * within its largest raw file + 96 MiB (the held segments cost the heap
 * more than their bytes: they live on the writer's thread). */
constexpr int CHUNK_SPAN = 512;
constexpr size_t HELD_BYTES = 12u << 20;
/* The last second the clock may reach, 9999-12-31 23:59:59 UTC: every
 * reader prints a store's times as dates and computes with them in
 * milliseconds, so a start before 1970 or a clock past this is refused
 * instead of wrapping. */
constexpr int64_t LAST_TIME = 253402300799;
constexpr int MAX_GAP_FILL = 16;
static_assert(CHUNK_SAMPLES % FIRST_ROWS == 0 &&
                  std::has_single_bit((unsigned)(CHUNK_SAMPLES / FIRST_ROWS)),
              "a buffer doubles from FIRST_ROWS to CHUNK_SAMPLES");

class Migration {
 public:
  /* Starts a migration of the run whose identity key is `run` (found at
   * run_dir) with the clock at start_time on an opened backend, giving the
   * run `labels`. start_time is one valid_start() took (the caller asks
   * before it opens anything). Null with a reason in err when the backend
   * refuses. */
  static std::unique_ptr<Migration> start(std::unique_ptr<StoreBackend> backend,
                                          const std::string &run, const std::string &run_dir,
                                          int64_t start_time, Labels labels, std::string &err);
  /* Whether a migration may start at start_time (within 0 .. LAST_TIME);
   * false with the reason in err. */
  static bool valid_start(int64_t start_time, std::string &err);
  Migration(const Migration &) = delete;
  Migration &operator=(const Migration &) = delete;

  /* Registers a group (found by name) with its graphs; their data types must
   * be in the type table. Returns the group id, or -1 with a reason in err. */
  int register_group(const GroupRecord &g, const std::vector<GraphRecord> &graphs,
                     std::string &err);
  /* The layout of a registered group, or null. */
  const GroupLayout *layout(int gid) const;
  /* Finds or creates the series of group gid and tags (reopening an ended
   * one). Returns its index, or -1 with a reason in err. */
  int open_series(int gid, const TagList &tags, std::string &err);
  /* Stores one row of elements at the current clock. The row must hold the
   * series' total of elements. false with a reason in err. */
  bool append(int series, int granularity, const double *row, std::string &err);
  /* Ends a series at the current clock; its data stays. */
  bool end_series(int series, std::string &err);
  /* Opens an ended series again (as open_series does). */
  bool reopen_series(int series, std::string &err);
  /* Moves the clock on by `seconds` (> 0); false, the migration broken,
   * when that passes LAST_TIME. */
  bool step(int seconds);
  /* Flushes, replaces this run's earlier samples of the series and graphs it
   * wrote in the span of the partitions it migrated (remigration.h), and
   * commits. Series of earlier migrations it did not write keep their samples; after the commit one line per such
   * migration on standard error says how many. On false the store is as
   * before and err says why. */
  bool finish(int64_t end_time, std::string &err);

  /* For messages: "group 'NAME'" of a registered group, and that and
   * ", series 'LABELS'" of a series (a walk over every series: for a
   * failure only). */
  std::string group_name(int gid) const;
  std::string series_name(int series) const;

  int64_t clock() const { return clock_; }
  size_t series_count() const { return series_.size(); }
  int series_elements(int series) const { return series_[series].layout->total_elements; }
  bool series_ended(int series) const { return series_[series].ended; }
  /* Non-empty once a write failed (here or on the writer's thread): the
   * migration can no longer commit. */
  const std::string &broken() const {
    if (broken_.empty() && writer_->failed()) broken_ = writer_->error();
    return broken_;
  }
  /* Marks the migration failed (a call stopped half-way): it will not commit. */
  void mark_broken(const std::string &why) {
    if (broken_.empty()) broken_ = why;
  }

 private:
  struct Series {
    int64_t sid = 0;
    std::shared_ptr<const GroupLayout> layout;       // its group's, for the next write
    std::shared_ptr<const GroupLayout> rows_layout;  // that of the rows in buf
    std::unique_ptr<double[]> buf;
    int64_t start = 0, step = 0;
    int count = 0, capacity = 0;  // rows in buf, rows it has room for
    size_t buf_bytes = 0;
    // closed: the chunk takes no more samples; a write at its last time
    // replaces that sample, a later one flushes it first; full: closed as
    // its buffer is full, so the next step may go on in a new segment
    bool ended = false, touched = false, closed = false, full = false;
    // The chunk whose earlier segments went to the writer, if any, and how
    // many segments and samples it has there.
    std::shared_ptr<OpenChunk> chunk;
    int segments = 0, chunk_samples = 0;
    // The times and graphs of the chunks written in this migration (graphs
    // 0 while none): what it replaces of the run's earlier samples.
    WrittenSeries written;
  };

  Migration(std::unique_ptr<StoreBackend> backend, const std::string &run,
            const std::string &run_dir, int64_t start);
  /* Hands the open chunk to the writer; refill: give the series a new
   * buffer (it goes on), else it has none afterwards; goes_on: the buffer is
   * a segment of a chunk that the next write continues. */
  bool flush(Series &s, std::string &err, bool refill = true, bool goes_on = false);
  /* Closes the open chunk: flushed now unless its last sample is at the
   * clock, where a later write may still replace it. */
  bool close(Series &s, std::string &err);
  bool make_room(Series &s, int granularity, std::string &err);
  /* Gives s's buffer (of `elements` a row) room for `rows` rows, growing it
   * within OPEN_BYTES; false when it cannot. */
  bool fit(Series &s, int rows, size_t elements);
  /* A new buffer of FIRST_ROWS rows of `elements`, or none (elements 0). */
  void new_buffer(Series &s, size_t elements);
  bool evict_idle(std::string &err);
  bool failed(std::string &err);

  std::unique_ptr<StoreBackend> backend_;
  MigrationRecord record_;
  int64_t clock_;
  int64_t steps_since_scan_ = 0;
  std::unordered_map<int, std::shared_ptr<const GroupLayout>> groups_;
  std::unordered_map<int, std::string> group_names_;
  std::unordered_map<std::string, int> series_index_;
  std::vector<Series> series_;
  size_t open_bytes_ = 0;                // of every series' buffer
  std::unique_ptr<ChunkWriter> writer_;  // after backend_: stops before it goes
  mutable std::string broken_;
};

}  // namespace orvtsdb

#endif
