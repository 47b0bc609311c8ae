/*
 * engine_http.h - the one HTTP set-up of every request to an engine: the
 * remote writes, the read-back and whatever else asks an engine something.
 *
 * A session is made from the sender's options (RemoteWriteOptions): the URL
 * is checked, the bearer token read, the extra headers checked, and basic
 * auth, the token, the headers, the timeouts and the TLS settings are put on
 * its one handle, so no request can go out with another authentication or
 * other limits than the rest. One thread.
 */
#ifndef ORVTSDB_ENGINE_HTTP_H
#define ORVTSDB_ENGINE_HTTP_H

#include <memory>
#include <string>
#include <vector>

#include "remote_write_client.h"

namespace orvtsdb {

class EngineSession {
 public:
  /* A session for the engine of `o`; `content_headers` ("Name: value")
   * describe what its POSTs carry (none: a form). Null with a reason in err
   * for a URL that is not http(s), an unreadable token file or a malformed
   * header. */
  static std::unique_ptr<EngineSession> open(const RemoteWriteOptions &o,
                                             const std::vector<std::string> &content_headers,
                                             std::string &err);
  ~EngineSession();
  EngineSession(const EngineSession &) = delete;
  EngineSession &operator=(const EngineSession &) = delete;

  /* The outcome of one request: no answer (a network fault, `fault` set and
   * `transient` saying whether it may pass), or the HTTP status and the
   * body's first `keep` bytes. */
  struct Answer {
    long status = 0;
    std::string body;
    std::string fault;
    bool transient = false;
    long retry_after_ms = 0;  // what a 429 or 503 asked for, 0: nothing
  };

  /* POSTs `len` bytes to `url`. */
  Answer post(const std::string &url, const char *data, size_t len, size_t keep = (size_t)-1) const;
  /* POSTs a form ("a=1&b=2") to `url`. */
  Answer post_form(const std::string &url, const std::string &form,
                   size_t keep = (size_t)-1) const {
    return post(url, form.data(), form.size(), keep);
  }
  /* The whole request may take at most `ms` (connection at most 10 s); the
   * options' timeout again with 0. */
  void limit_time(long ms) const;
  /* `s` escaped for a URL or form. */
  std::string escaped(const std::string &s) const;

  const RemoteWriteOptions &options() const { return opt_; }

 private:
  struct Handle;
  EngineSession(const RemoteWriteOptions &o, std::unique_ptr<Handle> h);

  RemoteWriteOptions opt_;
  std::unique_ptr<Handle> h_;
};

/* "http://host:port/prefix" of a write URL ending in "/api/v1/write" (or
 * "/write"), else "http://host:port": where the engine's other APIs are. */
std::string engine_base(const std::string &write_url);

}  // namespace orvtsdb

#endif
