/*
 * remote_write_client.cpp - batching, encoding and sending of remote-write
 * requests (see remote_write_client.h).
 *
 * The batch is one WriteRequest kept between sends: Clear() keeps its
 * series and label objects for reuse, so a long push allocates little. A
 * series index (labels joined into one key) lets consecutive chunks of a
 * series share one TimeSeries instead of repeating its labels.
 */
#include "remote_write_client.h"

#include <snappy.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "engine_http.h"
#include "remote_write.pb.h"
#include "shown_url.h"

namespace orvtsdb {

namespace {

constexpr long MAX_BACKOFF_MS = 10000;
constexpr size_t MAX_REASON_CHARS = 300;

// refused: the engine answered no; unreachable: no answer that another try
// would change (a TLS handshake that fails, a name that does not resolve).
enum class Outcome { accepted, retry, refused, unreachable };

/* The first line of an answer's body, short enough for a message. */
std::string reason_of(std::string body) {
  body = body.substr(0, body.find('\n'));
  if (body.size() > MAX_REASON_CHARS) body = body.substr(0, MAX_REASON_CHARS) + "...";
  return body;
}

}  // namespace

struct RemoteWriteClient::Impl {
  RemoteWriteOptions opt;
  std::unique_ptr<EngineSession> http;
  remote::WriteRequest batch;
  std::unordered_map<std::string, int> index;  // series key -> position in the batch
  PromLabels labels;                           // the current series
  std::string key;
  remote::TimeSeries *current = nullptr;
  size_t pending = 0;
  std::unordered_set<std::string> described;  // families whose metadata went into a batch
  std::string plain, packed;
  std::string failure;  // set once sending failed for good

  bool setup(std::string &err);
  Outcome post(std::string &why, long *retry_after_ms);
  remote::TimeSeries *series_in_batch();
};

bool RemoteWriteClient::Impl::setup(std::string &err) {
  if (opt.batch_samples == 0 || opt.timeout_ms <= 0 || opt.max_retries < 0) {
    err = "remote write needs a batch size and a timeout above 0 and retries of 0 or more";
    return false;
  }
  http = EngineSession::open(opt,
                             {"Content-Encoding: snappy", "Content-Type: application/x-protobuf",
                              "X-Prometheus-Remote-Write-Version: 0.1.0"},
                             err);
  return http != nullptr;
}

/* One POST of the packed batch. */
Outcome RemoteWriteClient::Impl::post(std::string &why, long *retry_after_ms) {
  EngineSession::Answer a = http->post(opt.url, packed.data(), packed.size(), MAX_REASON_CHARS);
  if (!a.fault.empty()) {
    why = a.fault;
    return a.transient ? Outcome::retry : Outcome::unreachable;
  }
  if (a.status >= 200 && a.status < 300) return Outcome::accepted;
  why = "HTTP " + std::to_string(a.status);
  if (!reason_of(a.body).empty()) why += ": " + reason_of(a.body);
  *retry_after_ms = a.retry_after_ms;
  return a.status == 429 || a.status >= 500 ? Outcome::retry : Outcome::refused;
}

remote::TimeSeries *RemoteWriteClient::Impl::series_in_batch() {
  auto [it, added] = index.emplace(key, batch.timeseries_size());
  if (!added) return batch.mutable_timeseries(it->second);
  remote::TimeSeries *ts = batch.add_timeseries();
  for (const auto &[name, value] : labels) {
    remote::Label *l = ts->add_labels();
    l->set_name(name);
    l->set_value(value);
  }
  return ts;
}

RemoteWriteClient::RemoteWriteClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RemoteWriteClient::~RemoteWriteClient() = default;

std::unique_ptr<RemoteWriteClient> RemoteWriteClient::open(const RemoteWriteOptions &o,
                                                           std::string &err) {
  auto impl = std::make_unique<Impl>();
  impl->opt = o;
  if (!impl->setup(err)) return nullptr;
  return std::unique_ptr<RemoteWriteClient>(new RemoteWriteClient(std::move(impl)));
}

void RemoteWriteClient::series(const PromLabels &labels) {
  impl_->labels = labels;
  impl_->key.clear();
  for (const auto &[name, value] : labels)
    (impl_->key += name) += '\0', (impl_->key += value) += '\0';
  impl_->current = nullptr;
}

bool RemoteWriteClient::add(int64_t time_ms, double value, std::string &err) {
  Impl &m = *impl_;
  if (!m.current) m.current = m.series_in_batch();
  remote::Sample *s = m.current->add_samples();
  s->set_value(value);
  s->set_timestamp(time_ms);
  return ++m.pending < m.opt.batch_samples || send(err);
}

void RemoteWriteClient::metadata(const std::string &family, FamilyType type,
                                 const std::string &help) {
  if (!impl_->described.insert(family).second) return;
  remote::MetricMetadata *m = impl_->batch.add_metadata();
  m->set_type(type == FamilyType::summary ? remote::MetricMetadata::SUMMARY
                                          : remote::MetricMetadata::GAUGE);
  m->set_metric_family_name(family);
  m->set_help(help);
}

bool RemoteWriteClient::flush(std::string &err) {
  return (impl_->pending == 0 && impl_->batch.metadata_size() == 0) || send(err);
}

bool RemoteWriteClient::probe(std::string &err) {
  Impl &m = *impl_;
  remote::WriteRequest empty;
  empty.SerializeToString(&m.plain);
  snappy::Compress(m.plain.data(), m.plain.size(), &m.packed);
  m.http->limit_time(std::min(m.opt.timeout_ms, PROBE_TIMEOUT_MS));
  std::string why;
  long retry_after = 0;
  Outcome o = m.post(why, &retry_after);
  m.http->limit_time(0);
  if (o == Outcome::accepted) return true;
  err = "the engine at " + shown_url(m.opt.url) + " does not take a write: " + why;
  return false;
}

void RemoteWriteClient::discard() {
  impl_->batch.Clear();
  impl_->index.clear();
  impl_->current = nullptr;
  impl_->pending = 0;
}

bool RemoteWriteClient::send(std::string &err) {
  Impl &m = *impl_;
  if (!m.failure.empty()) {
    err = m.failure;
    return false;
  }
  m.batch.SerializeToString(&m.plain);
  snappy::Compress(m.plain.data(), m.plain.size(), &m.packed);
  size_t samples = m.pending;
  discard();
  long wait = m.opt.first_backoff_ms, waited = 0;
  for (int tries = 1;; tries++) {
    std::string why;
    long retry_after = 0;
    Outcome o = m.post(why, &retry_after);
    if (o == Outcome::accepted) {
      accepted_ += (int64_t)samples;
      requests_++;
      return true;
    }
    long pause = std::max(wait, retry_after);
    if (o == Outcome::refused) {
      m.failure = "remote write to " + shown_url(m.opt.url) + " refused " +
                  std::to_string(samples) + " samples: " + why;
    } else if (o == Outcome::unreachable) {
      m.failure = "remote write to " + shown_url(m.opt.url) + " could not send " +
                  std::to_string(samples) + " samples: " + why;
    } else if (tries > m.opt.max_retries || waited + pause > m.opt.max_retry_wait_ms) {
      m.failure = "remote write to " + shown_url(m.opt.url) + " failed after " +
                  std::to_string(tries) + (tries == 1 ? " try: " : " tries: ") + why;
    }
    if (!m.failure.empty()) {
      err = m.failure;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    waited += pause;
    wait = std::min(wait * 2, MAX_BACKOFF_MS);
  }
}

}  // namespace orvtsdb
