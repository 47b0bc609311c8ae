/*
 * vzu_test_support.h - shared helpers for the tool's tests: a temporary work
 * directory holding one test run, builders for graph definition lines and raw
 * sample packets, and a runner that starts the real tool binary against the
 * recording store double and captures its output and exit status.
 */
#ifndef VZU_TEST_SUPPORT_H
#define VZU_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vzu_test {

/* Paths of the build products (set by CMake). */
std::string tool_path();
std::string bin_dir();

/* A temporary work directory (TW_WDIR) with the run folder logs/TR<n>.
 * Removed on destruction unless VZU_KEEP_TMP is set. */
class TempRun {
 public:
  explicit TempRun(int testrun = 1);
  ~TempRun();
  TempRun(const TempRun &) = delete;
  TempRun &operator=(const TempRun &) = delete;

  const std::string &wdir() const { return wdir_; }
  int testrun() const { return testrun_; }
  std::string run_dir() const;
  /* Absolute path: `rel` taken relative to the run directory. */
  std::string path(const std::string &rel) const;
  /* Creates the partition folder <run>/<name>; returns its path. */
  std::string partition(const std::string &name) const;
  void write(const std::string &rel, const std::string &content) const;
  std::string read(const std::string &rel) const;
  bool exists(const std::string &rel) const;
  /* The recording store's file and its lines. */
  std::string record_path() const;
  std::vector<std::string> record() const;
  /* Record lines that start with `prefix`. */
  std::vector<std::string> record(const std::string &prefix) const;

 private:
  std::string wdir_;
  int testrun_;
};

struct RunResult {
  int status = -1;        /* exit status 0..255, or 128 + signal */
  bool timed_out = false; /* killed after the time limit */
  std::string out;
  std::string err;
};

/* Variables for a run: a value of "\x01unset" removes one. */
using Env = std::vector<std::pair<std::string, std::string>>;

/* Runs the tool with `args` (argv[1..]) and TW_WDIR=run.wdir(), the recording
 * store in front (LD_LIBRARY_PATH) and ORVTSDB_RECORD=run.record_path().
 * `env` adds or overrides variables. */
RunResult run_tool(const TempRun &run, const std::vector<std::string> &args, const Env &env = {});

/* Variables for running the tool against the real store: no library path
 * (the tool finds build/lib/liborvtsdb.so itself) and no store location (the
 * tool points the store at the run). The tool leaves its tables to process
 * exit, so leak checks are off. */
const Env &real_store_env();

/* Runs any program the same way (no tool-specific variables), killing it
 * (by its process id) when it runs longer than `limit_ms` (0: no limit). */
RunResult run_program(const std::string &program, const std::vector<std::string> &args,
                      const Env &env = {}, int limit_ms = 0);

/* Graph definition lines. Unused fields are filled with "-" so that no field
 * is empty (empty fields collapse). */
std::string info_line(long long packet_size, long long interval_ms);
std::string group_line(const std::string &name, int rpt_id, const std::string &type, int num_graphs,
                       int num_vectors, const std::string &metric = "Metric",
                       const std::string &hierarchy = "-",
                       const std::string &desc = "Group description");
std::string graph_line(const std::string &name, int rpt_id, const std::string &type,
                       const std::string &data_type, long start_index,
                       const std::string &formula = "NA", const std::string &state = "0",
                       const std::string &priority = "H",
                       const std::string &desc = "Graph description");

/* Raw sample packets: each packet() starts a new zero-filled packet with its
 * header (opcode, sequence number, time stamp in ms); the setters write
 * little-endian values into the current packet at byte offset `off`. */
class PacketWriter {
 public:
  explicit PacketWriter(int packet_size) : size_(packet_size) {}
  PacketWriter &packet(double opcode, double seq, double ts_ms);
  PacketWriter &f64(int off, double v);
  PacketWriter &i8(int off, int8_t v);
  PacketWriter &i16(int off, int16_t v);
  PacketWriter &i32(int off, int32_t v);
  const std::string &bytes() const { return data_; }
  void write(const std::string &path) const;

 private:
  void put(int off, const void *p, size_t n);
  int size_;
  std::string data_;
};

/* For tests that call the tool's functions in this process: points the
 * recording store at one file for the whole test process (the store opens it
 * once) and returns its path. The file is removed at exit by the process that
 * made it, not by death-test children. */
std::string in_process_record_path();

/* Writes `content` to an absolute path (parents must exist). */
void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
std::vector<std::string> split_lines(const std::string &text);
/* The fields of one CSV line, RFC 4180 quoting undone. */
std::vector<std::string> csv_fields(const std::string &line);

}  // namespace vzu_test

#endif  // VZU_TEST_SUPPORT_H
