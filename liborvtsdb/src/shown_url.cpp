/*
 * shown_url.cpp - see shown_url.h.
 */
#include "shown_url.h"

namespace orvtsdb {

std::string shown_url(const std::string &url) {
  size_t scheme = url.find("://");
  size_t from = scheme == std::string::npos ? 0 : scheme + 3;
  size_t end = url.find_first_of("/?#", from);
  std::string authority = url.substr(from, end == std::string::npos ? end : end - from);
  size_t at = authority.rfind('@');
  size_t colon = authority.find(':');
  if (at == std::string::npos || colon == std::string::npos || colon > at) return url;
  return url.substr(0, from + colon + 1) + "***" + url.substr(from + at);
}

}  // namespace orvtsdb
