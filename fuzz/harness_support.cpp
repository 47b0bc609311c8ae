/*
 * harness_support.cpp - runs the tool's readers in process for the fuzz
 * harnesses.
 *
 * The tool ends on every refusal through vzu_fatal; here its hook jumps back
 * to read_version, which then closes what the readers had open (they never
 * get to do it themselves). For that the harness is linked with the tool's
 * open and close calls wrapped (-Wl,--wrap=...: fopen, fdopen, fclose, open,
 * close), so it knows exactly which FILE streams and descriptors the readers
 * hold; nothing of one input outlives it, so memory stays flat however long
 * a harness runs. The raw sample file's block
 * is the reader's own, reused from file to file, so it needs no release.
 *
 * The tool gives every group's vector name table 16384 buckets and a 1 MiB
 * name arena, about 2 MiB per group; setting that up under the sanitizers
 * for each group of each input would cap a harness at a few hundred inputs a
 * second. The wrapped table set-up gives 64 buckets and a 4 KiB arena that
 * grows on demand (lookups chain, so only speed changes), which keeps the
 * harnesses in the thousands of inputs a second.
 */
#include "harness_support.h"

#include <errno.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "twlb_alloc.h"
#include "vira_zedazad_uvoz_izu.h"

#ifndef VZU_FUZZ_FIXTURE_DIR
#error "VZU_FUZZ_FIXTURE_DIR must name the fixture folder"
#endif

extern "C" {
FILE *__real_fopen(const char *path, const char *mode);
FILE *__real_fdopen(int fd, const char *mode);
int __real_fclose(FILE *fp);
int __real_open(const char *path, int flags, ...);
int __real_close(int fd);
}

namespace {

constexpr int kMaxBuckets = 64;
constexpr int kArenaBytes = 4096;
constexpr int kMaxOpen = 64;
constexpr char kScratchPrefix[] = "vzu_fuzz.";

jmp_buf g_jump;
bool g_guarded = false;

/* What the readers opened during the input in hand. Plain arrays: the
 * wrappers also serve the fuzzer's own file calls, up to the process end. */
template <typename T>
struct OpenSet {
  T items[kMaxOpen];
  int count = 0;
  void add(T x) {
    if (count < kMaxOpen) items[count++] = x;
  }
  void forget(T x) {
    for (int i = 0; i < count; ++i)
      if (items[i] == x) {
        items[i] = items[--count];
        return;
      }
  }
};
OpenSet<FILE *> g_open_streams;
OpenSet<int> g_open_fds;
std::string g_scratch;

void close_left_open(void) {
  for (int i = 0; i < g_open_streams.count; ++i) __real_fclose(g_open_streams.items[i]);
  for (int i = 0; i < g_open_fds.count; ++i) __real_close(g_open_fds.items[i]);
  g_open_streams.count = g_open_fds.count = 0;
}

void remove_scratch(void) {
  std::error_code ec;
  if (!g_scratch.empty()) std::filesystem::remove_all(g_scratch, ec);
}

/* Scratch folders of harness processes that are gone: a crash or a timeout
 * ends a harness without its exit handlers. */
void remove_stale_scratch(const std::string &base) {
  std::error_code ec;
  for (const auto &entry : std::filesystem::directory_iterator(base, ec)) {
    std::string name = entry.path().filename().string();
    if (name.rfind(kScratchPrefix, 0) != 0) continue;
    long pid = strtol(name.c_str() + strlen(kScratchPrefix), NULL, 10);
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
      std::filesystem::remove_all(entry.path(), ec);
  }
}

void free_group(TSDB_INFO &g) {
  for (int row = 0; row < g.total_vector_entries; ++row) {
    Vector_list &v = g.vector_list_ptr[row];
    free(v.vector_name);
    free(v.sample_count);
    free(v.metric_id);
    free(v.data);
  }
  free(g.vector_list_ptr);
  twlb_obj_hash_destroy(&g.vector_norm_table);
  free(g.graph_element_size);
  free(g.num_elements);
  free(g.elements_size);
  free(g.tsdb_group_data_ptr);
  free(g.tsdb_metric_ptr);
}

}  // namespace

extern "C" {

FILE *__wrap_fopen(const char *path, const char *mode) {
  FILE *fp = __real_fopen(path, mode);
  if (fp && g_guarded) g_open_streams.add(fp);
  return fp;
}

/* A stream made over a descriptor owns it from then on: it is closed with
 * the stream, so the harness tracks the stream instead. Without this a
 * refusal left the stream (its buffer and FILE record, reachable from the C
 * library's list, so no leak report) behind at every input, and a stream
 * closed normally left its descriptor number to be closed a second time. */
FILE *__wrap_fdopen(int fd, const char *mode) {
  FILE *fp = __real_fdopen(fd, mode);
  if (fp && g_guarded) {
    g_open_fds.forget(fd);
    g_open_streams.add(fp);
  }
  return fp;
}

int __wrap_fclose(FILE *fp) {
  g_open_streams.forget(fp);
  return __real_fclose(fp);
}

int __wrap_open(const char *path, int flags, ...) {
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  int fd = __real_open(path, flags, mode);
  if (fd >= 0 && g_guarded) g_open_fds.add(fd);
  return fd;
}

int __wrap_close(int fd) {
  g_open_fds.forget(fd);
  return __real_close(fd);
}

/* The tool's table set-up with fewer buckets and a small name arena (the
 * arena grows on demand); otherwise as twlb_init_norm_id_table_ex. */
int __wrap_twlb_init_norm_id_table_ex(NormObjKey *key, int size) {
  if (!key) return -1;
  twlb_init_norm_id_table_v2(key, size < kMaxBuckets ? size : kMaxBuckets, kArenaBytes);
  size_t bytes = sizeof(NormTable *) * static_cast<size_t>(key->size);
  TWLB_MALLOC(key->id_name, bytes, "NormalTableInit.id_name");
  memset(static_cast<void *>(key->id_name), 0xFF, bytes);
  key->max_norm_id_size = key->size;
  return 0;
}

}  // extern "C"

namespace vzu_fuzz {

void init_harness(void) {
  vzu_fatal_hook = drop_input;
  twlb_init_norm_id_table_ex(&g_group_hash, GROUP_HASH_SIZE);
  const char *tmp = getenv("TMPDIR");
  std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (tmp ? tmp : "/tmp");
  remove_stale_scratch(base);
  g_scratch = base + "/" + kScratchPrefix + std::to_string(getpid());
  std::error_code ec;
  std::filesystem::remove_all(g_scratch, ec);
  if (mkdir(g_scratch.c_str(), 0700) != 0) abort();
  atexit(remove_scratch);
}

void drop_input(void) {
  if (!g_guarded) abort(); /* a refusal outside read_version: a harness bug */
  longjmp(g_jump, 1);
}

bool read_version(tr_gdf_struct *files, partition_struct *partition) {
  g_guarded = true;
  bool came_back = setjmp(g_jump) == 0;
  if (came_back) read_testrun_gdf_diff_rtg_file(files, tw_wdir, partition);
  g_guarded = false;
  close_left_open();
  return came_back;
}

void reset_tool_state(void) {
  store_double_new_input();
  sample_decode_end_file();
  for (int i = 0; i < total_tsdb_group_entries; ++i) free_group(tsdb_info[i]);
  free(tsdb_info);
  tsdb_info = NULL;
  total_tsdb_group_entries = max_tsdb_group_entries = 0;
  twlb_obj_hash_reset(&g_group_hash);
  is_all_graph_parsed = 0;
  flat = 1;
  g_frequency = g_prev_frequency = g_progress_interval = -1;
  g_prev_seq_no = g_curr_seq_no = 0;
  partition_switch_flag = 0;
  g_prev_rtg_ts = g_curr_rtg_ts = 0.0;
  test_start_time = test_end_time = -1;
  no_of_sample_inserted_in_par = total_sample = total_missing_sample = 0;
  total_sample_stored = 0;
  total_versions_read = partitions_without_samples = 0;
  g_tsdb_register_group = g_tsdb_subject_register = 0;
}

const std::string &scratch_dir(void) { return g_scratch; }

void write_input_file(const std::string &path, const void *data, size_t size) {
  FILE *fp = __real_fopen(path.c_str(), "wb");
  if (!fp || fwrite(data, 1, size, fp) != size || __real_fclose(fp) != 0) abort();
}

std::string read_fixture(const char *name) {
  std::ifstream in(std::string(VZU_FUZZ_FIXTURE_DIR) + "/" + name, std::ios::binary);
  if (!in) abort();
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace vzu_fuzz
