/*
 * remote_write_client.h - the sending side of the remote-write protocol:
 * samples of labelled series go into a batch; a full batch becomes one
 * snappy-compressed protobuf WriteRequest POSTed to the engine's write URL.
 *
 * A 2xx answer accepts the batch. 5xx, 429, a timeout and a dropped or
 * refused connection are retried with a doubling wait, bounded by a count
 * and a total time; any other answer stops at once. Either way the failure
 * is final: a client that failed sends nothing more. Used by `orvtsdb push`
 * and by the store's remote-write backend. One thread.
 */
#ifndef ORVTSDB_REMOTE_WRITE_CLIENT_H
#define ORVTSDB_REMOTE_WRITE_CLIENT_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace orvtsdb {

/* A series' labels, sorted by name, "__name__" included. */
using PromLabels = std::vector<std::pair<std::string, std::string>>;

/* The type of a metric family, for its metadata. */
enum class FamilyType { gauge, summary };

struct RemoteWriteOptions {
  std::string url;                   // http(s)://host:port/path of the write endpoint
  size_t batch_samples = 50000;      // samples per request
  long timeout_ms = 30000;           // one request, connection included
  int max_retries = 5;               // tries after the first one
  long max_retry_wait_ms = 60000;    // total wait between tries
  long first_backoff_ms = 200;       // doubles after every retry, up to 10 s
  std::string basic_auth;            // "user:password", empty: none
  std::string bearer_token_file;     // file holding the token, empty: none
  std::vector<std::string> headers;  // extra "Name: value" headers
};

class RemoteWriteClient {
 public:
  /* Checks the options and reads the token file. Null with a reason in err. */
  static std::unique_ptr<RemoteWriteClient> open(const RemoteWriteOptions &o, std::string &err);
  ~RemoteWriteClient();
  RemoteWriteClient(const RemoteWriteClient &) = delete;
  RemoteWriteClient &operator=(const RemoteWriteClient &) = delete;

  /* Makes `labels` the series the next add() calls belong to. Samples of a
   * series already in the batch are appended to it, so the caller must give
   * each series' samples in time order. */
  void series(const PromLabels &labels);
  /* Adds one sample (time in ms) to the current series; sends the batch when
   * it is full. false with a reason in err once sending failed. */
  bool add(int64_t time_ms, double value, std::string &err);
  /* Adds HELP/TYPE metadata of a metric family to the next request, once
   * per family and client. */
  void metadata(const std::string &family, FamilyType type, const std::string &help);
  /* Sends what the batch holds. false with a reason in err. */
  bool flush(std::string &err);
  /* One request without series, one try, at most PROBE_TIMEOUT_MS: whether
   * the engine is there, takes a write and the credentials. false with the
   * engine's reason (or the network's) in err. */
  bool probe(std::string &err);
  static constexpr long PROBE_TIMEOUT_MS = 5000;
  /* Drops the unsent batch. */
  void discard();

  /* Samples the engine accepted so far, and requests it answered with 2xx. */
  int64_t accepted() const { return accepted_; }
  int64_t requests() const { return requests_; }

 private:
  struct Impl;
  explicit RemoteWriteClient(std::unique_ptr<Impl> impl);
  bool send(std::string &err);

  std::unique_ptr<Impl> impl_;
  int64_t accepted_ = 0, requests_ = 0;
};

}  // namespace orvtsdb

#endif
