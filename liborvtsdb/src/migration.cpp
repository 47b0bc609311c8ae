/*
 * migration.cpp - clock, identity and chunk building of one migration (see
 * migration.h for the chunking rules).
 */
#include "migration.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "orvtsdb.h"
#include "orvtsdb_data_roles.h"
#include "store_checks.h"
#include "store_schema.h"

namespace orvtsdb {

Migration::Migration(std::unique_ptr<StoreBackend> backend, const std::string &run,
                     const std::string &run_dir, int64_t start)
    : backend_(std::move(backend)), clock_(start) {
  record_.run = run;
  record_.run_dir = run_dir;
  record_.start_time = start;
}

bool Migration::valid_start(int64_t start_time, std::string &err) {
  if (start_time >= 0 && start_time <= LAST_TIME) return true;
  err = "start time " + std::to_string(start_time) + " is outside the times a store keeps (0 .. " +
        std::to_string(LAST_TIME) + ", 1970-01-01 to 9999-12-31 UTC)";
  return false;
}

std::unique_ptr<Migration> Migration::start(std::unique_ptr<StoreBackend> backend,
                                            const std::string &run, const std::string &run_dir,
                                            int64_t start_time, Labels labels, std::string &err) {
  int64_t id;
  std::unique_ptr<Migration> m(new Migration(std::move(backend), run, run_dir, start_time));
  m->record_.labels = std::move(labels);
  if (!m->backend_->begin(m->record_, &id, err)) return nullptr;
  m->writer_ = std::make_unique<ChunkWriter>(*m->backend_);
  return m;
}

bool Migration::failed(std::string &err) {
  if (broken_.empty()) broken_ = err;
  return false;
}

int Migration::register_group(const GroupRecord &g, const std::vector<GraphRecord> &graphs,
                              std::string &err) {
  auto layout = std::make_shared<GroupLayout>();
  layout->num_graphs = (int)graphs.size();
  for (size_t i = 0; i < graphs.size(); i++) {
    int roles = orv_role_count(graphs[i].data_type);
    if (roles == 0) {
      err = "graph '" + graphs[i].name + "' of group '" + g.name + "' has unknown data type " +
            std::to_string(graphs[i].data_type);
      return -1;
    }
    layout->slots.push_back({(int)i, layout->total_elements, roles, graphs[i].data_type});
    layout->total_elements += roles;
  }
  int gid;
  std::unique_lock<std::mutex> lock(writer_->backend_mutex());
  if (!backend_->put_group(g, graphs, &gid, err)) return failed(err), -1;
  lock.unlock();
  groups_[gid] = std::move(layout);
  group_names_[gid] = g.name;
  return gid;
}

std::string Migration::group_name(int gid) const {
  auto it = group_names_.find(gid);
  return it == group_names_.end() ? "group id " + std::to_string(gid)
                                  : "group '" + it->second + "'";
}

std::string Migration::series_name(int series) const {
  for (const auto &[key, index] : series_index_)
    if (index == series) {
      size_t bar = key.find('|');
      std::string labels = key.substr(bar + 1);
      return group_name(std::stoi(key.substr(0, bar))) +
             (labels.empty() ? "" : ", series '" + labels + "'");
    }
  return "series " + std::to_string(series);
}

const GroupLayout *Migration::layout(int gid) const {
  auto it = groups_.find(gid);
  return it == groups_.end() ? nullptr : it->second.get();
}

int Migration::open_series(int gid, const TagList &tags, std::string &err) {
  auto g = groups_.find(gid);
  if (g == groups_.end()) {
    err = "unknown group id " + std::to_string(gid);
    return -1;
  }
  std::string key = std::to_string(gid) + '|' + labels_text(tags);
  auto it = series_index_.find(key);
  if (it == series_index_.end()) {
    int64_t sid;
    std::lock_guard<std::mutex> lock(writer_->backend_mutex());
    if (!backend_->put_series(gid, key.substr(key.find('|') + 1), tags, clock_, &sid, err))
      return failed(err), -1;
    it = series_index_.emplace(key, (int)series_.size()).first;
    series_.emplace_back();
    series_.back().sid = sid;
    series_.back().layout = series_.back().rows_layout = g->second;
  }
  Series &s = series_[it->second];
  // A group registered again with other graphs: the chunk of the old layout closes.
  if (s.layout != g->second) {
    if (!close(s, err)) return -1;
    s.layout = g->second;
  }
  return reopen_series(it->second, err) ? it->second : -1;
}

bool Migration::reopen_series(int series, std::string &err) {
  Series &s = series_[series];
  if (!s.ended) return true;
  std::lock_guard<std::mutex> lock(writer_->backend_mutex());
  if (!backend_->set_series_end(s.sid, -1, err)) return failed(err);
  s.ended = false;
  return true;
}

/* Closes the open chunk unless the sample at the clock continues it; fills a
 * short gap with missing rows. */
bool Migration::make_room(Series &s, int granularity, std::string &err) {
  int64_t last = s.start + (s.count - 1) * s.step;
  int64_t gap = clock_ - last;
  bool continues = granularity == s.step && gap > 0 && gap % s.step == 0 &&
                   gap / s.step - 1 <= MAX_GAP_FILL;
  size_t total = (size_t)s.layout->total_elements;
  if (!continues || !fit(s, (int)(s.count + gap / s.step), total)) return flush(s, err);
  for (int64_t i = 1; i < gap / s.step; i++, s.count++)
    std::fill_n(&s.buf[s.count * total], total, TSDB_MISSING_VALUE);
  return true;
}

bool Migration::fit(Series &s, int rows, size_t elements) {
  if (rows <= s.capacity) return true;
  int capacity = std::max(s.capacity, FIRST_ROWS);
  while (capacity < rows) capacity *= 2;
  size_t bytes = (size_t)capacity * elements * sizeof(double);
  // A chunk that went on in segments keeps to CHUNK_SPAN samples in all.
  if (capacity > std::min(CHUNK_SAMPLES, CHUNK_SPAN - s.chunk_samples) ||
      open_bytes_ - s.buf_bytes + bytes + writer_->held_bytes() > OPEN_BYTES)
    return false;
  std::unique_ptr<double[]> grown(new double[(size_t)capacity * elements]);
  std::memcpy(grown.get(), s.buf.get(), (size_t)s.count * elements * sizeof(double));
  open_bytes_ += bytes - s.buf_bytes;
  s.buf = std::move(grown);
  s.capacity = capacity;
  s.buf_bytes = bytes;
  return true;
}

void Migration::new_buffer(Series &s, size_t elements) {
  open_bytes_ -= s.buf_bytes;
  s.buf.reset();
  s.capacity = 0;
  s.buf_bytes = 0;
  if (elements == 0) return;
  s.buf.reset(new double[(size_t)FIRST_ROWS * elements]);
  s.capacity = FIRST_ROWS;
  s.buf_bytes = (size_t)FIRST_ROWS * elements * sizeof(double);
  open_bytes_ += s.buf_bytes;
}

bool Migration::append(int series, int granularity, const double *row, std::string &err) {
  Series &s = series_[series];
  if (s.count > 0) {
    int64_t last = s.start + (s.count - 1) * s.step;
    size_t stored = (size_t)s.rows_layout->total_elements;  // elements of a row in buf
    if (clock_ == last && s.rows_layout == s.layout) {
      std::memcpy(&s.buf[(s.count - 1) * stored], row, stored * sizeof(double));  // last write wins
      return true;
    }
    if (s.closed) {
      if (clock_ == last) {  // rows of another layout: the sample stored at this time goes
        s.count--;
        record_.inserts--;
        record_.values -= (int64_t)stored;
      }
      // A full buffer whose next step this is: the chunk goes on in a new one.
      bool goes_on = s.full && clock_ == last + s.step && granularity == s.step &&
                     s.rows_layout == s.layout && s.chunk_samples + s.count < CHUNK_SPAN &&
                     writer_->held_bytes() < HELD_BYTES &&
                     open_bytes_ + writer_->held_bytes() < OPEN_BYTES + HELD_BYTES;
      if (!flush(s, err, goes_on, goes_on)) return false;
    } else {
      // The usual case, the next step at the same granularity, needs no checks.
      bool next = granularity == s.step && clock_ == last + s.step;
      if (!next && !make_room(s, granularity, err)) return false;
    }
  }
  size_t total = (size_t)s.layout->total_elements;
  if (s.count == 0) {
    if (!s.buf || s.rows_layout != s.layout) new_buffer(s, total);
    s.rows_layout = s.layout;
    s.start = clock_;
    s.step = granularity;
  }
  std::memcpy(&s.buf[s.count * total], row, total * sizeof(double));
  s.touched = true;
  if (record_.first_sample < 0) record_.first_sample = clock_;
  record_.last_sample = clock_;
  record_.inserts++;
  record_.values += (int64_t)total;
  // A full buffer grows, else the chunk is full: flushed by the next write, or once idle.
  if (++s.count == s.capacity && !fit(s, s.count + 1, total)) s.closed = s.full = true;
  return true;
}

/* A series has a chunk only from a segment's flush to the write that
 * follows it at once, so one with a chunk always has samples here. */
bool Migration::flush(Series &s, std::string &err, bool refill, bool goes_on) {
  s.closed = s.full = false;
  if (s.count == 0) return true;
  int64_t end = s.start + (s.count - 1) * s.step;
  WrittenSeries &w = s.written;
  if (w.graphs == 0) w = {s.sid, 0, s.start, end};
  w.graphs = std::max(w.graphs, s.rows_layout->num_graphs);
  w.first = std::min(w.first, s.start);
  w.last = std::max(w.last, end);
  ChunkJob job{s.sid, s.start, s.step, s.count, s.rows_layout, std::move(s.buf), nullptr, 0, true};
  if (goes_on && !s.chunk) {
    s.chunk = std::make_shared<OpenChunk>();
    s.chunk->start = s.start;
    s.chunk->step = s.step;
  }
  if (s.chunk) {
    job.chunk = s.chunk;
    job.segment = s.segments++;
    job.last = !goes_on;
    s.chunk_samples += s.count;
  }
  if (!goes_on) {
    s.chunk.reset();
    s.segments = s.chunk_samples = 0;
  }
  if (!writer_->submit(std::move(job))) {
    err = writer_->error();
    return failed(err);
  }
  s.count = 0;
  s.rows_layout = s.layout;
  new_buffer(s, refill ? (size_t)s.layout->total_elements : 0);  // the job took the old one
  return true;
}

bool Migration::close(Series &s, std::string &err) {
  if (s.count > 0 && s.start + (s.count - 1) * s.step == clock_) {
    s.closed = true;
    s.full = false;
    return true;
  }
  if (!flush(s, err, false)) return false;
  new_buffer(s, 0);
  return true;
}

bool Migration::end_series(int series, std::string &err) {
  Series &s = series_[series];
  if (s.ended) return true;
  if (!close(s, err)) return false;
  s.ended = true;
  std::lock_guard<std::mutex> lock(writer_->backend_mutex());
  return backend_->set_series_end(s.sid, clock_, err) || failed(err);
}

/* Every IDLE_STEPS steps: series not written since the last look give
 * their buffer back. */
bool Migration::evict_idle(std::string &err) {
  for (Series &s : series_) {
    if (s.buf && !s.touched) {
      if (!flush(s, err, false)) return false;
      new_buffer(s, 0);
    }
    s.touched = false;
  }
  return true;
}

bool Migration::step(int seconds) {
  if (seconds > LAST_TIME - clock_) {
    mark_broken("the clock passes " + std::to_string(LAST_TIME) +
                " (9999-12-31 23:59:59 UTC), the last time a store keeps");
    return false;
  }
  clock_ += seconds;
  if (++steps_since_scan_ < IDLE_STEPS) return true;
  steps_since_scan_ = 0;
  std::string err;
  evict_idle(err);
  return true;
}

/* One line per earlier migration whose samples stayed where this one did
 * not write, so that a re-migration that wrote less never passes silently. */
static void tell_kept(const std::vector<KeptSeries> &kept) {
  for (size_t i = 0; i < kept.size();) {
    int64_t from = kept[i].migration;
    long unwritten = 0, partly = 0;
    for (; i < kept.size() && kept[i].migration == from; i++)
      (kept[i].reason == KeptReason::NOT_WRITTEN ? unwritten : partly)++;
    if (unwritten > 0)
      std::fprintf(stderr,
                   "orvtsdb: kept %ld series of migration #%lld that this migration did not "
                   "write%s\n",
                   unwritten, (long long)from,
                   partly > 0 ? (" (and samples of " + std::to_string(partly) +
                                 " series outside the times or graphs it wrote)")
                                    .c_str()
                              : "");
    else
      std::fprintf(stderr,
                   "orvtsdb: kept samples of %ld series of migration #%lld outside the times or "
                   "graphs this migration wrote\n",
                   partly, (long long)from);
  }
}

bool Migration::finish(int64_t end_time, std::string &err) {
  record_.end_time = end_time;
  for (Series &s : series_)
    if (!flush(s, err, false)) break;
  if (!writer_->drain(err)) failed(err);
  record_.stored_samples = writer_->stored_samples();
  Replacement r;
  r.run = record_.run;
  r.start_time = record_.start_time;
  r.end_time = end_time;
  r.last_sample = record_.last_sample;
  for (const Series &s : series_)
    if (s.written.graphs > 0) r.written.push_back(s.written);
  std::vector<KeptSeries> kept;
  std::lock_guard<std::mutex> lock(writer_->backend_mutex());
  bool ok = broken_.empty() && backend_->replace_run_samples(r, &kept, err) &&
            backend_->commit(record_, err);
  if (!broken_.empty()) err = broken_;
  if (!ok) backend_->abort();
  series_.clear();
  if (ok) tell_kept(kept);
  return ok;
}

}  // namespace orvtsdb
