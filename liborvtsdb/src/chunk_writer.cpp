/*
 * chunk_writer.cpp - the worker's loop (see chunk_writer.h).
 */
#include "chunk_writer.h"

#include <algorithm>

namespace {

size_t job_bytes(const orvtsdb::ChunkJob &j) {
  return (size_t)j.count * j.layout->total_elements * sizeof(double);
}

}  // namespace

namespace orvtsdb {

ChunkWriter::ChunkWriter(StoreBackend &backend) : backend_(backend), thread_([this] { run(); }) {}

ChunkWriter::~ChunkWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    queue_.clear();
    queued_bytes_ = 0;
  }
  wake_.notify_all();
  thread_.join();
}

bool ChunkWriter::submit(ChunkJob &&job) {
  if (failed()) return false;
  try {
    batch_.push_back(std::move(job));
  } catch (const std::bad_alloc &) {
    fail("out of memory");
    return false;
  }
  batch_bytes_ += job_bytes(batch_.back());
  return batch_bytes_ < BATCH_BYTES || hand_over();
}

/* Moves the batch to the queue in one go. While the worker is
 * MAX_QUEUED_BYTES behind, stores the oldest waiting batch here first. */
bool ChunkWriter::hand_over() {
  if (batch_.empty()) return !failed();
  std::unique_lock<std::mutex> lock(mutex_);
  while (queued_bytes_ >= MAX_QUEUED_BYTES && !failed() && !stop_ && store_oldest(lock, caller_)) {
  }
  bool ok = !failed() && !stop_;
  if (ok) {
    // The jobs are the writer's once submitted: out of memory here fails the
    // writer, as on the worker, instead of throwing past the caller's chunk.
    try {
      queue_.push_back(std::move(batch_));
      queued_bytes_ += batch_bytes_;
    } catch (const std::bad_alloc &) {
      ok = false;
    }
  }
  batch_.clear();
  batch_bytes_ = 0;
  lock.unlock();
  if (!ok && !failed() && !stop_) fail("out of memory");
  if (ok) wake_.notify_one();
  return ok;
}

bool ChunkWriter::drain(std::string &err) {
  hand_over();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!failed() && !stop_ && store_oldest(lock, caller_)) {
  }
  idle_.wait(lock, [this] { return (queue_.empty() && storing_ == 0) || stop_; });
  if (!failed()) return true;
  err = error_;
  return false;
}

std::string ChunkWriter::error() {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

void ChunkWriter::fail(const std::string &why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!failed()) error_ = why;
  failed_.store(true, std::memory_order_release);
  queue_.clear();
  queued_bytes_ = 0;
}

/* Encodes every graph of the job into s's pending chunks, or into its
 * chunk's segments. */
bool ChunkWriter::encode(const ChunkJob &job, Storer &s, std::string &err) {
  const GroupLayout &l = *job.layout;
  // The rows were written on the other thread: ask for all their cache lines
  // at once rather than wait for each as a column first reaches it.
  const char *rows = reinterpret_cast<const char *>(job.rows.get());
  for (size_t at = 0, n = job_bytes(job); at < n; at += 64) __builtin_prefetch(rows + at);
  if (job.chunk) return encode_segment(job, s, err);
  for (const GraphSlot &g : l.slots) {
    if (!s.encoder.encode(chunk_seed(job.sid, g.graph, g.data_type, job.start, job.step),
                          &job.rows[g.offset], (size_t)l.total_elements, 1, g.roles, job.count,
                          err))
      return false;
    s.offsets.push_back(s.blobs.size());
    s.blobs.insert(s.blobs.end(), s.encoder.data(), s.encoder.data() + s.encoder.size());
    s.chunks.push_back(
        {job.sid, g.graph, g.data_type, job.start, job.step, job.count, nullptr, s.encoder.size()});
  }
  return true;
}

bool ChunkWriter::encode_segment(const ChunkJob &job, Storer &s, std::string &err) {
  const GroupLayout &l = *job.layout;
  OpenChunk::Segment segment{job.count, {}, std::vector<uint32_t>(l.slots.size())};
  s.segment.clear();
  for (size_t i = 0; i < l.slots.size(); i++) {
    const GraphSlot &g = l.slots[i];
    if (!s.encoder.encode_segment(&job.rows[g.offset], (size_t)l.total_elements, 1, g.roles,
                                  job.count, err))
      return false;
    s.segment.insert(s.segment.end(), s.encoder.data(), s.encoder.data() + s.encoder.size());
    segment.ends[i] = (uint32_t)s.segment.size();
  }
  segment.bytes.assign(s.segment.begin(), s.segment.end());  // no room to spare: it is held
  size_t bytes = segment.bytes.size();
  OpenChunk &c = *job.chunk;
  std::lock_guard<std::mutex> lock(c.mutex);
  if (c.segments.size() <= (size_t)job.segment) c.segments.resize((size_t)job.segment + 1);
  c.segments[job.segment] = std::move(segment);
  held_bytes_ += bytes;
  if (job.last) c.total = (size_t)job.segment + 1;
  add_rows(c, job, s);
  return true;
}

void ChunkWriter::add_rows(OpenChunk &c, const ChunkJob &job, Storer &s) {
  const GroupLayout &l = *job.layout;
  while (c.ready < c.segments.size() && c.segments[c.ready].count > 0) c.ready++;
  bool all = c.total > 0 && c.ready == c.total;
  if (c.next.empty()) {
    c.next.assign(l.slots.size(), 0);
    c.next_start.assign(l.slots.size(), c.start);
  }
  for (size_t i = 0; i < l.slots.size(); i++) {
    const GraphSlot &g = l.slots[i];
    while (c.next[i] < c.ready) {
      size_t k = c.next[i], j = k, bytes = CHUNK_HEADER_BYTES;
      int count = 0;
      do {
        bytes += c.segments[j].size(i);
        count += c.segments[j].count;
        j++;
      } while (j < c.ready && bytes + c.segments[j].size(i) <= ROW_BYTES);
      if (j == c.ready && !all) break;  // later segments may still join this row
      size_t at = s.blobs.size();
      s.blobs.resize(at + CHUNK_HEADER_BYTES);
      for (size_t m = k; m < j; m++) {
        const uint8_t *from = c.segments[m].bytes.data();
        s.blobs.insert(s.blobs.end(), from + c.segments[m].begin(i), from + c.segments[m].ends[i]);
      }
      int64_t start = c.next_start[i];
      seal_chunk_blob(&s.blobs[at], bytes, g.roles, (uint32_t)count,
                      chunk_seed(job.sid, g.graph, g.data_type, start, c.step));
      s.offsets.push_back(at);
      s.chunks.push_back({job.sid, g.graph, g.data_type, start, c.step, count, nullptr, bytes});
      c.next[i] = j;
      c.next_start[i] = start + (int64_t)count * c.step;
    }
  }
  size_t held = *std::min_element(c.next.begin(), c.next.end());
  for (; c.freed < held; c.freed++) {
    held_bytes_ -= c.segments[c.freed].bytes.size();
    c.segments[c.freed].bytes = {};
  }
}

/* Inserts s's pending chunks, holding the backend once for all of them: a
 * lock taken per chunk made the two threads take turns by the thousand. */
bool ChunkWriter::insert(Storer &s, std::string &err) {
  for (size_t i = 0; i < s.chunks.size(); i++) s.chunks[i].blob = s.blobs.data() + s.offsets[i];
  std::lock_guard<std::mutex> lock(backend_mutex_);
  bool ok = backend_.put_chunks(s.chunks.data(), s.chunks.size(), err);
  if (ok)
    for (const ChunkRecord &c : s.chunks) stored_samples_ += c.count;
  s.chunks.clear();
  s.offsets.clear();
  s.blobs.clear();
  return ok;
}

bool ChunkWriter::store_oldest(std::unique_lock<std::mutex> &lock, Storer &s) {
  if (queue_.empty()) return false;
  std::vector<ChunkJob> batch = std::move(queue_.front());
  queue_.pop_front();
  storing_++;
  lock.unlock();
  std::string err;
  bool ok = true;
  size_t done = 0;
  try {
    for (ChunkJob &job : batch) {
      ok = ok && !failed() && encode(job, s, err);
      done += job_bytes(job);
      job.rows.reset();
    }
    ok = ok && !failed() && insert(s, err);
  } catch (const std::bad_alloc &) {
    ok = false, err = "out of memory";
  } catch (const std::exception &e) {
    ok = false, err = e.what();
  }
  batch.clear();
  if (!ok) {
    s.chunks.clear(), s.offsets.clear(), s.blobs.clear();
    fail(err);  // which empties the queue and its count
  }
  lock.lock();
  queued_bytes_ -= std::min(done, queued_bytes_);
  storing_--;
  if (queue_.empty() && storing_ == 0) idle_.notify_all();
  return true;
}

/* Stores the queued batches, oldest first, one at a time. Their rows count
 * against MAX_QUEUED_BYTES until the batch is stored. */
void ChunkWriter::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return !queue_.empty() || stop_; });
    if (stop_) return;
    while (!stop_ && store_oldest(lock, worker_)) {
    }
  }
}

}  // namespace orvtsdb
