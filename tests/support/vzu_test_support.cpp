/*
 * vzu_test_support.cpp - see vzu_test_support.h.
 */
#include "vzu_test_support.h"

#include "rtg_packet.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace vzu_test {

std::string tool_path() { return VZU_BIN_DIR "/vira_zedazad_uvoz_izu"; }
std::string bin_dir() { return VZU_BIN_DIR; }

TempRun::TempRun(int testrun) : testrun_(testrun) {
  char tmpl[] = "/tmp/vzu_test_XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  wdir_ = tmpl;
  fs::create_directories(run_dir());
}

TempRun::~TempRun() {
  if (getenv("VZU_KEEP_TMP")) return;
  std::error_code ec;
  fs::remove_all(wdir_, ec);
}

std::string TempRun::run_dir() const { return wdir_ + "/logs/TR" + std::to_string(testrun_); }

std::string TempRun::path(const std::string &rel) const {
  if (!rel.empty() && rel[0] == '/') return rel;
  return run_dir() + "/" + rel;
}

std::string TempRun::partition(const std::string &name) const {
  fs::create_directories(path(name));
  return path(name);
}

void TempRun::write(const std::string &rel, const std::string &content) const {
  fs::create_directories(fs::path(path(rel)).parent_path());
  write_file(path(rel), content);
}

std::string TempRun::read(const std::string &rel) const { return read_file(path(rel)); }

bool TempRun::exists(const std::string &rel) const { return fs::exists(path(rel)); }

std::string TempRun::record_path() const { return wdir_ + "/store_calls.txt"; }

std::vector<std::string> TempRun::record() const {
  if (!fs::exists(record_path())) return {};
  return split_lines(read_file(record_path()));
}

std::vector<std::string> TempRun::record(const std::string &prefix) const {
  std::vector<std::string> out;
  for (auto &line : record())
    if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
  return out;
}

namespace {

std::string drain(int fd) {
  std::string out;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, n);
  return out;
}

/* Waits for pid; after limit_ms (when not 0) kills it. */
int wait_bounded(pid_t pid, int limit_ms, bool *timed_out) {
  int wstatus = 0;
  for (int waited = 0;; waited += 5) {
    pid_t r = waitpid(pid, &wstatus, limit_ms ? WNOHANG : 0);
    if (r == pid) return wstatus;
    if (r < 0 && errno != EINTR) return wstatus;
    if (limit_ms && r == 0 && waited >= limit_ms) {
      *timed_out = true;
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      return wstatus;
    }
    if (r == 0) usleep(5000);
  }
}

}  // namespace

RunResult run_program(const std::string &program, const std::vector<std::string> &args,
                      const Env &env, int limit_ms) {
  /* Output goes to temporary files, so a chatty child can never block on a
   * full pipe. */
  FILE *out = tmpfile();
  FILE *err = tmpfile();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    for (auto &[k, v] : env) {
      if (v == "\x01unset")
        unsetenv(k.c_str());
      else
        setenv(k.c_str(), v.c_str(), 1);
    }
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  RunResult r;
  int wstatus = wait_bounded(pid, limit_ms, &r.timed_out);
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  rewind(out);
  rewind(err);
  r.out = drain(fileno(out));
  r.err = drain(fileno(err));
  fclose(out);
  fclose(err);
  return r;
}

RunResult run_tool(const TempRun &run, const std::vector<std::string> &args, const Env &env) {
  Env all = {
      {"TW_WDIR", run.wdir()},
      {"LD_LIBRARY_PATH", VZU_DOUBLES_DIR "/recording"},
      {"ORVTSDB_RECORD", run.record_path()},
      /* The tool leaves its tables to process exit by design. */
      {"ASAN_OPTIONS", "detect_leaks=0"},
      /* Keep the real store out of reach even if a test forgets the double. */
      {"ORVTSDB_RUN_DIR", "\x01unset"},
  };
  all.insert(all.end(), env.begin(), env.end());
  return run_program(tool_path(), args, all);
}

const Env &real_store_env() {
  static const Env env = {{"LD_LIBRARY_PATH", "\x01unset"},
                          {"ORVTSDB_RUN_DIR", "\x01unset"},
                          {"ORVTSDB_URL", "\x01unset"},
                          {"ORVTSDB_RECORD", "\x01unset"},
                          {"ASAN_OPTIONS", "detect_leaks=0"}};
  return env;
}

std::string info_line(long long packet_size, long long interval_ms) {
  return "Info|1|-|-|-|" + std::to_string(packet_size) + "|" + std::to_string(interval_ms) + "|-\n";
}

std::string group_line(const std::string &name, int rpt_id, const std::string &type, int num_graphs,
                       int num_vectors, const std::string &metric, const std::string &hierarchy,
                       const std::string &desc) {
  return "Group|" + name + "|" + std::to_string(rpt_id) + "|" + type + "|" +
         std::to_string(num_graphs) + "|" + std::to_string(num_vectors) + "|" + metric + "|" +
         hierarchy + "|" + desc + "\n";
}

std::string graph_line(const std::string &name, int rpt_id, const std::string &type,
                       const std::string &data_type, long start_index, const std::string &formula,
                       const std::string &state, const std::string &priority,
                       const std::string &desc) {
  return "Graph|" + name + "|" + std::to_string(rpt_id) + "|" + type + "|" + data_type + "|" +
         std::to_string(start_index) + "|" + formula + "|-|" + state + "|0|-|" + priority + "|NA|" +
         desc + "\n";
}

PacketWriter &PacketWriter::packet(double opcode, double seq, double ts_ms) {
  data_.append(size_, '\0');
  f64(RTG_HDR_OPCODE_OFF, opcode);
  f64(RTG_HDR_SEQ_OFF, seq);
  f64(RTG_HDR_TS_OFF, ts_ms);
  return *this;
}

void PacketWriter::put(int off, const void *p, size_t n) {
  if (data_.empty() || off < 0 || off + n > static_cast<size_t>(size_))
    throw std::out_of_range("PacketWriter: value outside the packet");
  memcpy(&data_[data_.size() - size_ + off], p, n);
}

PacketWriter &PacketWriter::f64(int off, double v) {
  put(off, &v, 8);
  return *this;
}
PacketWriter &PacketWriter::i8(int off, int8_t v) {
  put(off, &v, 1);
  return *this;
}
PacketWriter &PacketWriter::i16(int off, int16_t v) {
  put(off, &v, 2);
  return *this;
}
PacketWriter &PacketWriter::i32(int off, int32_t v) {
  put(off, &v, 4);
  return *this;
}

void PacketWriter::write(const std::string &path) const { write_file(path, data_); }

std::string in_process_record_path() {
  static pid_t owner = 0;
  static char path[64];
  if (owner == 0) {
    owner = getpid();
    snprintf(path, sizeof path, "/tmp/vzu_test_record_%d", static_cast<int>(owner));
    setenv("ORVTSDB_RECORD", path, 1);
    atexit([] {
      if (getpid() == owner) unlink(path);
    });
  }
  return path;
}

void write_file(const std::string &path, const std::string &content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + path);
  f << content;
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> out;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

std::vector<std::string> csv_fields(const std::string &line) {
  std::vector<std::string> f(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); i++) {
    char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"')
      f.back() += c, i++;
    else if (c == '"')
      quoted = !quoted;
    else if (c == ',' && !quoted)
      f.emplace_back();
    else
      f.back() += c;
  }
  return f;
}

}  // namespace vzu_test
