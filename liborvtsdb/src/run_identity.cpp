/*
 * run_identity.cpp - the run.id file beside a run (see run_identity.h).
 *
 * The id is written to a private temporary file and linked into place, so
 * two migrations starting together agree on one id and a reader never sees
 * a half-written file.
 */
#include "run_identity.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orvtsdb {

namespace {

constexpr size_t ID_BYTES = 16;

std::string sys_error(const std::string &what, const std::string &path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool is_id(const std::string &s) {
  if (s.size() != 2 * ID_BYTES) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

/* Reads an existing id file: 1 read, 0 absent, -1 error (err set). */
int read_id(const std::string &path, std::string *key, std::string &err) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return 0;
    err = sys_error("cannot read the run identity", path);
    return -1;
  }
  char buf[64];
  ssize_t n = ::read(fd, buf, sizeof buf);
  ::close(fd);
  std::string text(buf, n > 0 ? (size_t)n : 0);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!is_id(text)) {
    err = "run identity file " + path + " does not hold a run id (32 hex digits)";
    return -1;
  }
  *key = text;
  return 1;
}

std::string new_id(std::string &err) {
  unsigned char raw[ID_BYTES];
  if (getrandom(raw, sizeof raw, 0) != (ssize_t)sizeof raw) {
    err = std::string("no random bytes for a run id: ") + std::strerror(errno);
    return "";
  }
  static const char HEX[] = "0123456789abcdef";
  std::string id;
  for (unsigned char b : raw) {
    id += HEX[b >> 4];
    id += HEX[b & 15];
  }
  return id;
}

/* Writes a new id to a temporary file, synced, and links it in as `path`;
 * when another process got there first, its id is used. */
bool create_id(const std::string &path, std::string *key, std::string &err) {
  std::string id = new_id(err);
  if (id.empty()) return false;
  std::string tmp = path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    err = sys_error("cannot write the run identity", tmp);
    return false;
  }
  std::string text = id + "\n";
  bool ok = ::write(fd, text.data(), text.size()) == (ssize_t)text.size() && ::fsync(fd) == 0;
  if (!ok) err = sys_error("cannot write the run identity", tmp);
  ::close(fd);
  if (ok && ::link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
    err = sys_error("cannot write the run identity", path);
    ok = false;
  }
  ::unlink(tmp.c_str());
  return ok && read_id(path, key, err) == 1;
}

}  // namespace

bool run_identity(const StoreLocation &loc, std::string *key, std::string &err) {
  if (loc.run_dir.empty()) {
    *key = "store";
    return true;
  }
  std::string path = loc.run_dir + "/tsdb/run.id";
  int got = read_id(path, key, err);
  if (got != 0) return got == 1;
  return make_parent_dirs(path, err) && create_id(path, key, err);
}

}  // namespace orvtsdb
