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

#include <curl/curl.h>
#include <snappy.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "remote_write.pb.h"
#include "shown_url.h"

namespace orvtsdb {

namespace {

constexpr long MAX_BACKOFF_MS = 10000;
constexpr long MAX_CONNECT_MS = 10000;
constexpr size_t MAX_REASON_CHARS = 300;

enum class Outcome { accepted, retry, refused };

size_t keep_body(char *data, size_t size, size_t n, void *user) {
  std::string *body = static_cast<std::string *>(user);
  if (body->size() < MAX_REASON_CHARS) body->append(data, std::min(size * n, MAX_REASON_CHARS));
  return size * n;
}

/* The first line of an answer's body, short enough for a message. */
std::string reason_of(std::string body) {
  body = body.substr(0, body.find('\n'));
  if (body.size() > MAX_REASON_CHARS) body = body.substr(0, MAX_REASON_CHARS) + "...";
  return body;
}

/* Network faults that may pass; anything else (a bad URL, a TLS problem) will not. */
bool transient(CURLcode rc) {
  switch (rc) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE: return true;
    default: return false;
  }
}

bool read_token(const std::string &path, std::string &token, std::string &err) {
  std::ifstream in(path);
  std::stringstream text;
  if (!(in && text << in.rdbuf())) {
    err = "cannot read the bearer token file " + path;
    return false;
  }
  token = text.str();
  while (!token.empty() && std::isspace((unsigned char)token.back())) token.pop_back();
  if (token.empty() || token.find_first_of("\r\n") != std::string::npos) {
    err = "the bearer token file " + path + " does not hold one token";
    return false;
  }
  return true;
}

}  // namespace

struct RemoteWriteClient::Impl {
  RemoteWriteOptions opt;
  CURL *curl = nullptr;
  curl_slist *headers = nullptr;
  remote::WriteRequest batch;
  std::unordered_map<std::string, int> index;  // series key -> position in the batch
  PromLabels labels;                           // the current series
  std::string key;
  remote::TimeSeries *current = nullptr;
  size_t pending = 0;
  std::unordered_set<std::string> described;  // families whose metadata went into a batch
  std::string plain, packed, body;
  std::string failure;  // set once sending failed for good

  ~Impl() {
    curl_slist_free_all(headers);
    if (curl) curl_easy_cleanup(curl);
  }

  bool setup(std::string &err);
  Outcome post(std::string &why, long *retry_after_ms);
  remote::TimeSeries *series_in_batch();
};

bool RemoteWriteClient::Impl::setup(std::string &err) {
  static std::once_flag global;
  std::call_once(global, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (opt.url.rfind("http://", 0) != 0 && opt.url.rfind("https://", 0) != 0) {
    err = "remote-write URL '" + shown_url(opt.url) + "' must start with http:// or https://";
    return false;
  }
  if (opt.batch_samples == 0 || opt.timeout_ms <= 0 || opt.max_retries < 0) {
    err = "remote write needs a batch size and a timeout above 0 and retries of 0 or more";
    return false;
  }
  std::vector<std::string> lines = {"Content-Encoding: snappy",
                                    "Content-Type: application/x-protobuf",
                                    "X-Prometheus-Remote-Write-Version: 0.1.0",
                                    "Expect:"};  // no 100-continue round trip per request
  if (!opt.bearer_token_file.empty()) {
    std::string token;
    if (!read_token(opt.bearer_token_file, token, err)) return false;
    lines.push_back("Authorization: Bearer " + token);
  }
  for (const std::string &h : opt.headers) {
    size_t colon = h.find(':');
    if (colon == 0 || colon == std::string::npos || h.find_first_of("\r\n") != std::string::npos) {
      err = "header '" + h + "' is not of the form 'Name: value'";
      return false;
    }
    lines.push_back(h);
  }
  for (const std::string &l : lines) headers = curl_slist_append(headers, l.c_str());
  curl = curl_easy_init();
  if (!curl || !headers) {
    err = "cannot set up an HTTP client";
    return false;
  }
  curl_easy_setopt(curl, CURLOPT_URL, opt.url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "orvtsdb-remote-write/1");
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, opt.timeout_ms);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, std::min(opt.timeout_ms, MAX_CONNECT_MS));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, keep_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  if (!opt.basic_auth.empty()) {
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(curl, CURLOPT_USERPWD, opt.basic_auth.c_str());
  }
  return true;
}

/* One POST of the packed batch. */
Outcome RemoteWriteClient::Impl::post(std::string &why, long *retry_after_ms) {
  body.clear();
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, packed.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)packed.size());
  CURLcode rc = curl_easy_perform(curl);
  if (rc != CURLE_OK) {
    why = curl_easy_strerror(rc);
    return transient(rc) ? Outcome::retry : Outcome::refused;
  }
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  if (status >= 200 && status < 300) return Outcome::accepted;
  why = "HTTP " + std::to_string(status);
  if (!reason_of(body).empty()) why += ": " + reason_of(body);
  curl_off_t after = 0;
  if (curl_easy_getinfo(curl, CURLINFO_RETRY_AFTER, &after) == CURLE_OK && after > 0)
    *retry_after_ms = (long)std::min<curl_off_t>(after, 3600) * 1000;
  return status == 429 || status >= 500 ? Outcome::retry : Outcome::refused;
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

void RemoteWriteClient::metadata(const std::string &family, bool summary, const std::string &help) {
  if (!impl_->described.insert(family).second) return;
  remote::MetricMetadata *m = impl_->batch.add_metadata();
  m->set_type(summary ? remote::MetricMetadata::SUMMARY : remote::MetricMetadata::GAUGE);
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
  curl_easy_setopt(m.curl, CURLOPT_TIMEOUT_MS, std::min(m.opt.timeout_ms, PROBE_TIMEOUT_MS));
  curl_easy_setopt(m.curl, CURLOPT_CONNECTTIMEOUT_MS, std::min(m.opt.timeout_ms, PROBE_TIMEOUT_MS));
  std::string why;
  long retry_after = 0;
  Outcome o = m.post(why, &retry_after);
  curl_easy_setopt(m.curl, CURLOPT_TIMEOUT_MS, m.opt.timeout_ms);
  curl_easy_setopt(m.curl, CURLOPT_CONNECTTIMEOUT_MS, std::min(m.opt.timeout_ms, MAX_CONNECT_MS));
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
