/*
 * engine_http.cpp - the HTTP session of every request to an engine (see
 * engine_http.h), on libcurl.
 */
#include "engine_http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "shown_url.h"

namespace orvtsdb {

namespace {

constexpr long MAX_CONNECT_MS = 10000;

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

struct Sink {
  std::string *body;
  size_t keep;
};

size_t keep_body(char *data, size_t size, size_t n, void *user) {
  Sink *s = static_cast<Sink *>(user);
  if (s->body->size() < s->keep)
    s->body->append(data, std::min(size * n, s->keep - s->body->size()));
  return size * n;
}

}  // namespace

struct EngineSession::Handle {
  CURL *curl = nullptr;
  curl_slist *headers = nullptr;
  ~Handle() {
    curl_slist_free_all(headers);
    if (curl) curl_easy_cleanup(curl);
  }
};

EngineSession::EngineSession(const RemoteWriteOptions &o, std::unique_ptr<Handle> h)
    : opt_(o), h_(std::move(h)) {}
EngineSession::~EngineSession() = default;

std::unique_ptr<EngineSession> EngineSession::open(const RemoteWriteOptions &o,
                                                   const std::vector<std::string> &content_headers,
                                                   std::string &err) {
  static std::once_flag global;
  std::call_once(global, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (o.url.rfind("http://", 0) != 0 && o.url.rfind("https://", 0) != 0) {
    err = "remote-write URL '" + shown_url(o.url) + "' must start with http:// or https://";
    return nullptr;
  }
  if (o.timeout_ms <= 0) {
    err = "requests to an engine need a timeout above 0";
    return nullptr;
  }
  std::vector<std::string> lines = content_headers;
  lines.push_back("Expect:");  // no 100-continue round trip per request
  if (!o.bearer_token_file.empty()) {
    std::string token;
    if (!read_token(o.bearer_token_file, token, err)) return nullptr;
    lines.push_back("Authorization: Bearer " + token);
  }
  for (const std::string &h : o.headers) {
    size_t colon = h.find(':');
    if (colon == 0 || colon == std::string::npos || h.find_first_of("\r\n") != std::string::npos) {
      err = "header '" + h + "' is not of the form 'Name: value'";
      return nullptr;
    }
    lines.push_back(h);
  }
  auto h = std::make_unique<Handle>();
  for (const std::string &l : lines) {
    curl_slist *more = curl_slist_append(h->headers, l.c_str());
    if (!more) {
      err = "out of memory setting up an HTTP client";
      return nullptr;
    }
    h->headers = more;
  }
  h->curl = curl_easy_init();
  if (!h->curl) {
    err = "cannot set up an HTTP client";
    return nullptr;
  }
  CURL *c = h->curl;
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, h->headers);
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "orvtsdb-remote-write/1");
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, keep_body);
  // TLS: the system's certificate authorities, the peer and host checked.
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!o.basic_auth.empty()) {
    curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(c, CURLOPT_USERPWD, o.basic_auth.c_str());
  }
  std::unique_ptr<EngineSession> s(new EngineSession(o, std::move(h)));
  s->limit_time(0);
  return s;
}

void EngineSession::limit_time(long ms) const {
  if (ms <= 0) ms = opt_.timeout_ms;
  curl_easy_setopt(h_->curl, CURLOPT_TIMEOUT_MS, ms);
  curl_easy_setopt(h_->curl, CURLOPT_CONNECTTIMEOUT_MS, std::min(ms, MAX_CONNECT_MS));
}

EngineSession::Answer EngineSession::post(const std::string &url, const char *data, size_t len,
                                          size_t keep) const {
  Answer a;
  Sink sink{&a.body, keep};
  CURL *c = h_->curl;
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, data);
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)len);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  CURLcode rc = curl_easy_perform(c);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, nullptr);
  if (rc != CURLE_OK) {
    a.fault = curl_easy_strerror(rc);
    a.transient = transient(rc);
    return a;
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &a.status);
  curl_off_t after = 0;
  if (curl_easy_getinfo(c, CURLINFO_RETRY_AFTER, &after) == CURLE_OK && after > 0)
    a.retry_after_ms = (long)std::min<curl_off_t>(after, 3600) * 1000;
  return a;
}

std::string EngineSession::escaped(const std::string &s) const {
  char *e = curl_easy_escape(h_->curl, s.c_str(), (int)s.size());
  std::string out = e ? e : "";
  curl_free(e);
  return out;
}

std::string engine_base(const std::string &url) {
  for (const char *tail : {"/api/v1/write", "/write"})
    if (url.size() > std::strlen(tail) &&
        url.compare(url.size() - std::strlen(tail), std::string::npos, tail) == 0)
      return url.substr(0, url.size() - std::strlen(tail));
  size_t host = url.find("://");
  size_t path = url.find('/', host == std::string::npos ? 0 : host + 3);
  return url.substr(0, path);
}

}  // namespace orvtsdb
