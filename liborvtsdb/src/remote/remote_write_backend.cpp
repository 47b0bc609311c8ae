/*
 * remote_write_backend.cpp - the remote-write container.
 *
 * Groups, graphs and series live only in memory, to label the samples; each
 * chunk the front finishes is decoded and its samples (missing ones left
 * out) go into the client's batch, the rest of the batch at commit. An
 * engine has no transaction to roll back, so two things differ from SQLite:
 *  - what was sent before a failure stays in the engine; a failed commit
 *    still fails the migration, and migrating again sends the same series
 *    and time stamps, which the engine keeps once (its deduplication);
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
#include "remote_write_labels.h"

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
  explicit RemoteWriteBackend(std::unique_ptr<RemoteWriteClient> c) : client_(std::move(c)) {}

  bool begin(const MigrationRecord &m, int64_t *migration_id, std::string &) override {
    run_ = run_labels(m.run, m.run_dir);
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
  const std::vector<PromLabels> &labels_of(const ChunkRecord &c);
  bool send_chunk(const ChunkRecord &c, std::string &err);

  std::unique_ptr<RemoteWriteClient> client_;
  RunLabels run_;
  std::vector<Group> groups_;  // gid = position + 1
  std::unordered_map<std::string, int> group_ids_;
  std::vector<Series> series_;  // sid = position + 1
  std::unordered_map<std::string, int64_t> series_ids_;
  std::map<std::tuple<int64_t, int, int>, std::vector<PromLabels>> labels_;
  ChunkDecoder decoder_;
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

/* The label sets of the chunk's series and graph, made once. */
const std::vector<PromLabels> &RemoteWriteBackend::labels_of(const ChunkRecord &c) {
  auto [it, added] = labels_.try_emplace({c.sid, c.graph, c.data_type});
  if (added) {
    const Series &s = series_[c.sid - 1];
    const Group &g = groups_[s.gid - 1];
    const std::string &graph = (size_t)c.graph < g.graphs.size() ? g.graphs[c.graph].name : "";
    it->second = engine_labels(g.name, graph, c.data_type, s.key, s.tags, run_);
  }
  return it->second;
}

bool RemoteWriteBackend::send_chunk(const ChunkRecord &c, std::string &err) {
  if (!decoder_.decode(chunk_seed(c.sid, c.graph, c.data_type, c.start_time, c.step), c.blob,
                       c.blob_len, err))
    return false;
  const std::vector<PromLabels> &labels = labels_of(c);
  for (int r = 0; r < decoder_.roles() && (size_t)r < labels.size(); r++) {
    client_->series(labels[r]);
    const double *v = decoder_.column(r);
    for (int i = 0; i < decoder_.count(); i++)
      if (!is_missing(v[i]) && !client_->add((c.start_time + i * c.step) * 1000, v[i], err))
        return false;
  }
  return true;
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
    return client_->flush(err);
  } catch (const std::bad_alloc &) {
    err = "out of memory while sending samples for remote write";
    return false;
  }
}

}  // namespace

std::unique_ptr<StoreBackend> open_remote_write_backend(const RemoteWriteOptions &opt,
                                                        std::string &err) {
  auto client = RemoteWriteClient::open(opt, err);
  if (!client) return nullptr;
  return std::make_unique<RemoteWriteBackend>(std::move(client));
}

}  // namespace orvtsdb
