/*
 * output_file.cpp - see output_file.h.
 */
#include "output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>

#include "command_kit.h"

namespace orvtsdb_cli {

namespace {

/* A file written to an existing name that is not a regular file (a pipe, a
 * device) or a link (/dev/stdout) goes straight into it: a temporary file
 * renamed over the name would replace the device or the link itself. */
bool is_special_file(const std::string &output) {
  struct stat st {};
  if (::lstat(output.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return false;
  return ::stat(output.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

/* Whether `output` names the file standard output already writes to. */
bool is_standard_output(const std::string &output) {
  struct stat named {};
  struct stat out {};
  return ::stat(output.c_str(), &named) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 &&
         named.st_dev == out.st_dev && named.st_ino == out.st_ino;
}

/* Writes the file `path` with put; false with errno's value in `err` when
 * it could not be opened, written or closed. */
bool put_file(const std::string &path, const std::function<void(std::FILE *)> &put, int &err) {
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return err = errno, false;
  put(f);
  bool written = std::fflush(f) == 0 && !std::ferror(f);
  err = errno;
  if (std::fclose(f) != 0 && written) written = false, err = errno;
  return written;
}

/* The temporary file being written, removed when a signal that ends the
 * command (an interrupt, a kill, a closed terminal) comes before its
 * rename: a plain buffer and flag, as the handler may only call
 * async-signal-safe functions. */
char g_tmp_path[4096];
volatile sig_atomic_t g_tmp_held = 0;
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

void remove_tmp_and_end(int sig) {
  if (g_tmp_held) ::unlink(g_tmp_path);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

/* While it lives, those signals remove `path` before they end the process;
 * one the process ignores (nohup) or handles itself is left to it. */
class TmpFileGuard {
 public:
  explicit TmpFileGuard(const std::string &path) {
    if (path.size() >= sizeof g_tmp_path) return;  // left behind as before
    std::memcpy(g_tmp_path, path.c_str(), path.size() + 1);
    g_tmp_held = 1;
    struct sigaction sa {};
    sa.sa_handler = remove_tmp_and_end;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < std::size(kEndingSignals); i++) {
      struct sigaction now {};
      installed_[i] = ::sigaction(kEndingSignals[i], nullptr, &now) == 0 &&
                      now.sa_handler == SIG_DFL &&
                      ::sigaction(kEndingSignals[i], &sa, &old_[i]) == 0;
    }
  }
  ~TmpFileGuard() {
    for (size_t i = 0; i < std::size(kEndingSignals); i++)
      if (installed_[i]) ::sigaction(kEndingSignals[i], &old_[i], nullptr);
    g_tmp_held = 0;
  }
  TmpFileGuard(const TmpFileGuard &) = delete;
  TmpFileGuard &operator=(const TmpFileGuard &) = delete;

 private:
  struct sigaction old_[std::size(kEndingSignals)]{};
  bool installed_[std::size(kEndingSignals)] = {};
};

}  // namespace

void check_output_file(const std::string &output) {
  std::error_code ec;
  if (std::filesystem::is_directory(output, ec))
    die(EXIT_FAILURE_OTHER, "cannot write " + output + ": it is a folder");
  if (is_special_file(output)) {
    if (access(output.c_str(), W_OK) != 0)
      die(EXIT_FAILURE_OTHER, "cannot write " + output + ": " + std::strerror(errno));
    return;
  }
  std::string dir = std::filesystem::path(output).parent_path().string();
  if (dir.empty()) dir = ".";
  if (!std::filesystem::is_directory(dir, ec))
    die(EXIT_FAILURE_OTHER, "cannot write " + output + ": folder " + dir + " does not exist");
  if (access(dir.c_str(), W_OK) != 0)
    die(EXIT_FAILURE_OTHER, "cannot write " + output + ": " + std::strerror(errno));
}

bool write_output_file(const std::string &output, const std::function<void(std::FILE *)> &put) {
  bool direct = is_special_file(output);
  if (direct && is_standard_output(output)) {
    // Into the stream, after what was printed to it already.
    put(stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
      die(EXIT_FAILURE_OTHER, "cannot write " + output + ": " + std::strerror(errno));
    return false;
  }
  // Named by the process, so two commands writing one name at once each
  // finish their own file and the later rename wins whole.
  std::string tmp = direct ? output : output + ".tmp." + std::to_string(::getpid());
  std::optional<TmpFileGuard> guard;
  if (!direct) guard.emplace(tmp);
  int err = 0;
  if (!put_file(tmp, put, err)) {
    if (!direct) std::remove(tmp.c_str());
    die(EXIT_FAILURE_OTHER, "cannot write " + output + ": " + std::strerror(err));
  }
  if (direct) return false;
  if (std::rename(tmp.c_str(), output.c_str()) != 0) {
    err = errno;
    std::remove(tmp.c_str());
    die(EXIT_FAILURE_OTHER, "cannot rename " + tmp + " to " + output + ": " + std::strerror(err));
  }
  return true;
}

}  // namespace orvtsdb_cli
