// core_test_util.h - small helpers shared by the core library's tests: a
// shape match for dates and a scope that switches the library log on into a
// file. Temporary folders and file reads come from vzu_test_support.h.
#ifndef CORE_TEST_UTIL_H
#define CORE_TEST_UTIL_H

#include <unistd.h>

#include <fstream>
#include <string>

#include "twlb_log.h"
#include "vzu_test_support.h"

namespace core_test {

// True when s has the shape's length and a digit wherever the shape has '9'
// (other characters must be equal): "99/99/99" matches "03/04/26".
inline bool has_shape(const std::string &s, const std::string &shape) {
  if (s.size() != shape.size()) return false;
  for (size_t i = 0; i < s.size(); i++)
    if (shape[i] == '9' ? (s[i] < '0' || s[i] > '9') : s[i] != shape[i]) return false;
  return true;
}

// Sends library records of the given level and module bits to `path`.
class LogScope {
 public:
  LogScope(const std::string &path, unsigned int level, unsigned long module) {
    twlb_util_set_log_filename(path.c_str(), nullptr);
    twlb_util_set_debug_log_level(static_cast<int>(level));
    twlb_util_set_modulemask(module);
  }
  ~LogScope() {
    twlb_util_set_debug_log_level(0);
    twlb_util_set_modulemask(0);
    twlb_util_set_log_filename("", nullptr);
    if (lib_debug_fd > 0) close(lib_debug_fd);
    lib_debug_fd = -1;
  }
  LogScope(const LogScope &) = delete;
  LogScope &operator=(const LogScope &) = delete;
};

}  // namespace core_test

#endif  // CORE_TEST_UTIL_H
