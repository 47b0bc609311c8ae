/*
 * remote_write_backend.cpp - the remote-write container.
 *
 * Groups, graphs and series live only in memory, to label the samples; each
 * chunk the front finishes is decoded and its samples (missing ones left
 * out) go into the client's batch, the rest of the batch at commit. An
 * engine has no transaction to roll back, so two things differ from SQLite:
 *  - the engine is asked to take an empty write when the backend opens, so
 *    an unreachable or refusing engine stops the migration before the run
 *    is read;
 *  - what the engine accepted before a failure may stay, or may be lost
 *    when the engine crashes before it made it durable; a failed commit
 *    still fails the migration, and migrating again sends the same series
 *    and time stamps, which the engine keeps once (its deduplication);
 *    with `verify` the commit reads back per series how many samples the
 *    engine holds and fails on a shortfall;
 *  - earlier samples of the run are not removed (replace_run_samples does
 *    nothing): a re-migration overwrites them where the engine deduplicates,
 *    and keeps them where it does not cover the same time range.
 */
#include "remote_write_backend.h"

#include <map>
#include <new>
#include <tuple>
#include <unordered_map>

#include "chunk_codec.h"
#include "engine_mapping.h"
#include "engine_readback.h"
#include "engine_samples.h"

namespace orvtsdb {

namespace {

struct Group {
  std::string name;
  std::vector<GraphRecord> graphs;
};

struct Series {
  int gid;
  std::string key;
  TagList tags;
};

class RemoteWriteBackend final : public StoreBackend {
 public:
  RemoteWriteBackend(std::unique_ptr<RemoteWriteClient> c, const RemoteWriteOptions &opt,
                     bool verify)
      : client_(std::move(c)), opt_(opt), verify_(verify) {}

  bool begin(const MigrationRecord &m, int64_t *migration_id, std::string &) override {
    run_ = run_labels(m.run, m.run_dir, m.start_time);
    *migration_id = 1;
    return true;
  }
  bool put_group(const GroupRecord &g, const std::vector<GraphRecord> &graphs, int *gid,
                 std::string &err) override;
  bool put_series(int gid, const std::string &key, const TagList &tags, int64_t now, int64_t *sid,
                  std::string &err) override;
  bool set_series_end(int64_t, int64_t, std::string &) override { return true; }
  bool put_chunk(const ChunkRecord &c, std::string &err) override;
  bool replace_run_samples(const Replacement &, std::vector<KeptSeries> *, std::string &) override {
    return true;
  }
  bool commit(const MigrationRecord &, std::string &err) override;
  void abort() override { client_->discard(); }

 private:
  EngineSeriesSet &series_set(const ChunkRecord &c);
  bool send_chunk(const ChunkRecord &c, std::string &err);

  std::unique_ptr<RemoteWriteClient> client_;
  RemoteWriteOptions opt_;
  bool verify_;
  SentSamples sent_;
  RunLabels run_;
  std::vector<Group> groups_;  // gid = position + 1
  std::unordered_map<std::string, int> group_ids_;
  std::vector<Series> series_;  // sid = position + 1
  std::unordered_map<std::string, int64_t> series_ids_;
  std::map<std::tuple<int64_t, int, int>, EngineSeriesSet> labels_;
  ChunkDecoder decoder_;
};

/* Every sample of a chunk into the client's batch, counted per series
 * when the commit reads back. */
class BatchSink final : public EngineSampleSink {
 public:
  BatchSink(RemoteWriteClient &client, const EngineSeriesSet &set, SentSamples *sent)
      : client_(client), set_(set), sent_(sent) {}
  bool begin(size_t o) override {
    client_.series(set_.labels[o]);
    counted_ = sent_ ? &(*sent_)[set_.labels[o]] : nullptr;
    return true;
  }
  bool sample(size_t, int64_t t, double v, std::string &err) override {
    if (!client_.add(t * 1000, v, err)) return false;
    if (counted_) counted_->add(t);
    return true;
  }

 private:
  RemoteWriteClient &client_;
  const EngineSeriesSet &set_;
  SentSamples *sent_;
  SentSeries *counted_ = nullptr;
};

bool RemoteWriteBackend::put_group(const GroupRecord &g, const std::vector<GraphRecord> &graphs,
                                   int *gid, std::string &) {
  auto [it, added] = group_ids_.emplace(g.name, (int)groups_.size() + 1);
  if (added) groups_.push_back({g.name, {}});
  Group &group = groups_[it->second - 1];
  if (group.graphs.size() != graphs.size() ||
      !std::equal(graphs.begin(), graphs.end(), group.graphs.begin(),
                  [](const GraphRecord &a, const GraphRecord &b) { return a.name == b.name; }))
    labels_.clear();  // graph names at some positions changed: label again
  group.graphs = graphs;
  *gid = it->second;
  return true;
}

bool RemoteWriteBackend::put_series(int gid, const std::string &key, const TagList &tags, int64_t,
                                    int64_t *sid, std::string &) {
  auto [it, added] = series_ids_.emplace(std::to_string(gid) + '|' + key,
                                         (int64_t)series_.size() + 1);
  if (added) series_.push_back({gid, key, tags});
  *sid = it->second;
  return true;
}

/* The mapping and label sets of the chunk's series and graph, made once;
 * their metadata goes with the next request. */
EngineSeriesSet &RemoteWriteBackend::series_set(const ChunkRecord &c) {
  auto [it, added] = labels_.try_emplace({c.sid, c.graph, c.data_type});
  if (added) {
    const Series &s = series_[c.sid - 1];
    const Group &g = groups_[s.gid - 1];
    GraphRecord none;
    const GraphRecord &graph = (size_t)c.graph < g.graphs.size() ? g.graphs[c.graph] : none;
    it->second.mapping = map_graph(g.name, graph.name, graph.description, c.data_type);
    it->second.labels = output_labels(it->second.mapping,
                                      series_labels(g.name, graph.name, s.tags, run_));
    for (const EngineFamily &f : it->second.mapping.families)
      client_->metadata(f.name, f.type, f.help);
  }
  return it->second;
}

bool RemoteWriteBackend::send_chunk(const ChunkRecord &c, std::string &err) {
  if (!decoder_.decode(chunk_seed(c.sid, c.graph, c.data_type, c.start_time, c.step), c.blob,
                       c.blob_len, err))
    return false;
  EngineSeriesSet &set = series_set(c);
  BatchSink sink(*client_, set, verify_ ? &sent_ : nullptr);
  return chunk_samples(
      set, {decoder_.values(), decoder_.count(), decoder_.roles(), c.start_time, c.step}, sink,
      err);
}

bool RemoteWriteBackend::put_chunk(const ChunkRecord &c, std::string &err) {
  try {
    return send_chunk(c, err);
  } catch (const std::bad_alloc &) {
    err = "out of memory while batching samples for remote write";
    return false;
  }
}

bool RemoteWriteBackend::commit(const MigrationRecord &, std::string &err) {
  try {
    if (!client_->flush(err)) return false;
    return !verify_ || verify_sent(opt_, sent_, err);
  } catch (const std::bad_alloc &) {
    err = "out of memory while sending samples for remote write";
    return false;
  }
}

}  // namespace

std::unique_ptr<StoreBackend> open_remote_write_backend(const RemoteWriteOptions &opt, bool verify,
                                                        std::string &err) {
  auto client = RemoteWriteClient::open(opt, err);
  if (!client || !client->probe(err)) return nullptr;
  return std::make_unique<RemoteWriteBackend>(std::move(client), opt, verify);
}

}  // namespace orvtsdb
