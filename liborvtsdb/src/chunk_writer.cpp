/*
 * chunk_writer.cpp - the worker's loop (see chunk_writer.h).
 */
#include "chunk_writer.h"

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
  room_.notify_all();
  thread_.join();
}

bool ChunkWriter::submit(ChunkJob &&job) {
  std::unique_lock<std::mutex> lock(mutex_);
  room_.wait(lock, [this] {
    return queued_bytes_ < MAX_QUEUED_BYTES || queue_.empty() || failed() || stop_;
  });
  if (failed() || stop_) return false;
  queued_bytes_ += job_bytes(job);
  queue_.push_back(std::move(job));
  lock.unlock();
  wake_.notify_one();
  return true;
}

bool ChunkWriter::drain(std::string &err) {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return (queue_.empty() && !busy_) || stop_; });
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
  room_.notify_all();
}

/* Encodes every graph of the job and inserts it. */
bool ChunkWriter::store(const ChunkJob &job, std::string &err) {
  const GroupLayout &l = *job.layout;
  for (const GraphSlot &g : l.slots) {
    if (!encoder_.encode(chunk_seed(job.sid, g.graph, g.data_type, job.start, job.step),
                         &job.rows[g.offset], (size_t)l.total_elements, 1, g.roles, job.count, err))
      return false;
    ChunkRecord c{job.sid,  g.graph,   g.data_type,     job.start,
                  job.step, job.count, encoder_.data(), encoder_.size()};
    std::lock_guard<std::mutex> lock(backend_mutex_);
    if (!backend_.put_chunk(c, err)) return false;
    stored_samples_ += job.count;
  }
  return true;
}

void ChunkWriter::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return !queue_.empty() || stop_; });
    if (stop_) return;
    ChunkJob job = std::move(queue_.front());
    queue_.pop_front();
    queued_bytes_ -= job_bytes(job);
    busy_ = true;
    lock.unlock();
    room_.notify_one();
    std::string err;
    bool ok = false;
    try {
      ok = store(job, err);
    } catch (const std::bad_alloc &) {
      err = "out of memory";
    } catch (const std::exception &e) {
      err = e.what();
    }
    job.rows.reset();
    if (!ok) fail(err);
    lock.lock();
    busy_ = false;
    if (queue_.empty()) idle_.notify_all();
  }
}

}  // namespace orvtsdb
