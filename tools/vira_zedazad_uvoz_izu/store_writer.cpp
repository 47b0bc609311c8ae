/*
 * store_writer.cpp - imports one raw sample file into the time-series store.
 *
 * The file is read whole with one read and walked packet by packet from
 * packet 1 (packet 0 is never a sample). Per packet: the store's sample clock
 * is kept in step (one step per sample missing between sequence numbers or
 * between files, one after the inserts of a packet that closes a merge
 * window), every active vector of every complete group is decoded
 * (sample_decode.cpp), and at a closing packet each vector is inserted: the
 * first insert creates it in the store under a tag/value list built from the
 * group's hierarchy and the vector's name, later ones go by metric id.
 *
 * Merge windows: a packet opens a window when its sequence number leaves
 * remainder 1 by the merge count, and also when it is the first packet
 * handled since the last closing packet or since the partition began, so a
 * window never carries sums over from one that did not close. It closes at
 * remainder 0; with a merge count of 1 every packet opens and closes.
 *
 * Ownership: the file data lives from the read to the end of the packet
 * loop. A vector's `data` and `sample_count` are allocated once and then
 * reused (cleared while the vector is not yet in the store); its metric id
 * buffer comes from the store and is the vector's until the vector tables are
 * rebuilt. Single-threaded.
 */
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "twlb_util.h"
#include "vira_zedazad_uvoz_izu.h"

double g_curr_rtg_ts = 0.0;
double g_prev_rtg_ts = 0.0;

namespace {

constexpr int kMaxNameFields = 50;
constexpr unsigned char kStateNew = 0, kStateInStore = 1, kStateLeftOut = 255;

/* The file in hand and what every packet of it shares. */
struct FileWalk {
  TSDB_INFO *groups;
  char *data;
  int size;
  int num_pckts;
  long long packet_size;
  char *rtg_file;
  char *tw_wdir;
  int frequency_changed;
  int packet_count_to_merge;
};

struct PacketHeader {
  int opcode;
  int seq;
  double ts_ms;
};

struct Window {
  bool open;
  bool close;
};

/* The last packet handled closed its window (or nothing was handled yet). */
bool s_last_closed = true;

/* A double truncated to int; values outside int (and NaN) give INT_MIN. */
int trunc_to_int(double v) {
  return (v > -2147483649.0 && v < 2147483648.0) ? static_cast<int>(v) : INT_MIN;
}

/* Milliseconds to whole seconds: truncated to 64 bits, then divided. */
long ms_to_sec(double ms) {
  if (!(ms > -9.2e18 && ms < 9.2e18)) return 0;
  return static_cast<long>(static_cast<long long>(ms) / 1000);
}

double load_double(const char *p) {
  double v;
  memcpy(&v, p, sizeof v);
  return v;
}

PacketHeader read_header(const char *pkt) {
  return {trunc_to_int(load_double(pkt + RTG_HDR_OPCODE_OFF)),
          trunc_to_int(load_double(pkt + RTG_HDR_SEQ_OFF)), load_double(pkt + RTG_HDR_TS_OFF)};
}

/* The version number in a raw sample file name: 0 for rtgMessage.dat, n for
 * rtgMessage.dat.n. */
int rtg_version_of(const char *path) {
  static const char kVersioned[] = "rtgMessage.dat.";
  const char *base = strrchr(path, '/');
  base = base ? base + 1 : path;
  if (strncmp(base, kVersioned, sizeof kVersioned - 1) != 0) return 0;
  return atoi(base + sizeof kVersioned - 1);
}

/* The block that holds a raw sample file while its packets are walked. A
 * large block asks for transparent huge pages: with 4 KiB pages the first
 * touch of every page is a fault, which on a virtual machine costs more than
 * decoding the page. The block is released after the file, so peak memory
 * stays the largest file. */
constexpr size_t kHugePage = 2u << 20;

char *alloc_file_block(size_t bytes) {
  if (bytes < kHugePage) return static_cast<char *>(malloc(bytes));
  void *p = nullptr;
  if (posix_memalign(&p, kHugePage, bytes) != 0) return nullptr;
  madvise(p, bytes, MADV_HUGEPAGE); /* a hint: without huge pages it still works */
  return static_cast<char *>(p);
}

/* The whole file in one read, zero-terminated; ends the process when memory
 * or the read fails. */
char *read_whole_file(int fd, int size) {
  char *buf = size >= 0 ? alloc_file_block(static_cast<size_t>(size) + 1) : nullptr;
  if (!buf) vzu_fatal(stderr, "*********Unable to allocated memory ********\n");
  ssize_t got = read(fd, buf, static_cast<size_t>(size));
  if (got != size) {
    close(fd);
    vzu_fatal(stdout, "File is partitially read %ld  and fd %d", static_cast<long>(got), fd);
  }
  buf[size] = '\0';
  return buf;
}

/* Opening and closing of the packet with sequence number seq. */
Window window_of(int seq, int merge_count) {
  if (merge_count >= -1 && merge_count <= 1) return {true, true};
  int r = seq % merge_count;
  bool first_since_close = s_last_closed || g_prev_seq_no == 0;
  return {r == 1 || first_since_close, r == 0};
}

/* One step of the store's sample clock. */
void step_clock(void) {
  TRACE1("Sample incremanting with %d", g_frequency);
  tsdb_migration_increment_sample_ex(g_frequency);
}

void step_missing_samples(long long n) {
  for (long long i = 0; i < n; ++i) {
    step_clock();
    ++total_missing_sample;
  }
}

/* Samples missing between this file's packet 1 and the previous file's last
 * packet (from the second partition on). */
void step_for_time_gap(double ts_ms) {
  g_curr_rtg_ts = ts_ms;
  int interval_ms = g_progress_interval * 1000;
  if (g_prev_rtg_ts == 0.0 || interval_ms <= 0) return;
  double q = (g_curr_rtg_ts - g_prev_rtg_ts) / static_cast<double>(interval_ms);
  if (!(q > 1.0)) return;
  for (long long i = 0; i < q; ++i) {
    tsdb_migration_increment_sample_ex(g_frequency);
    TRACE1("Sample incremanting with %d", g_frequency);
    ++total_missing_sample;
  }
}

/* A vector not yet in the store starts every packet with zeroed arrays; the
 * arrays are allocated once and cleared afterwards. */
void prepare_arrays(const TSDB_INFO *g, Vector_list *v) {
  if (g->total_elements > 0) {
    size_t bytes = sizeof(double) * g->total_elements;
    if (!v->data && !(v->data = static_cast<double *>(malloc(bytes))))
      out_of_memory_exit("numGraph");
    memset(v->data, 0, bytes);
  }
  if (g->total_graph_entries > 0) {
    size_t bytes = sizeof(int) * g->total_graph_entries;
    if (!v->sample_count && !(v->sample_count = static_cast<int *>(malloc(bytes))))
      out_of_memory_exit("numGraph");
    memset(v->sample_count, 0, bytes);
  }
}

bool block_fits(const FileWalk &f, const TSDB_INFO *g, const Vector_list *v, int off) {
  long long p = static_cast<long long>(off) + v->rtg_idx;
  return p >= 0 && p + g->total_elements_size <= f.size;
}

/* Decodes vector vi of the packet at off. False when it got nothing. */
bool decode_vector(const FileWalk &f, TSDB_INFO *g, int vi, int off, Window w) {
  if (g->type_cast_reqd == 1 || f.frequency_changed) {
    int rc = get_type_cast_and_send_to_tsdb(
        g, g->vector_list_ptr[vi].rtg_idx, off, vi, f.data, f.size, f.packet_size, f.rtg_file,
        f.frequency_changed, f.packet_count_to_merge, w.close, w.open);
    if (rc == -1) {
      free(f.data);
      vzu_fatal(stderr, "*******rtg memory dara is freed Now ******\n");
    }
    return rc == 0;
  }
  int rc = decode_double_vector(g, vi, off, f.data, f.size, f.packet_size, f.rtg_file);
  if (rc == -1) vzu_fatal(stderr, "*******rtg memory data is freed Now ******\n");
  return rc == 0;
}

void write_group(const FileWalk &f, TSDB_INFO *g, int off, Window w) {
  for (int vi = 0; vi < g->total_vector_entries; ++vi) {
    Vector_list *v = &g->vector_list_ptr[vi];
    /* A vector not yet in the store gets fresh arrays at every packet, so
     * every packet opens its window: a cumulative value missing from the
     * closing packet then stays missing instead of becoming the zero fill. */
    Window vw = w;
    if (v->metrics_idx_found == kStateNew || !v->data) {
      prepare_arrays(g, v);
      vw.open = true;
    }
    if (v->delete_flag == 1 || v->rtg_idx == -1 || !block_fits(f, g, v, off)) continue;
    if (!decode_vector(f, g, vi, off, vw)) continue;
    if (w.close && v->metrics_idx_found != kStateLeftOut)
      insert_into_tsdb(g, vi, f.frequency_changed, 1);
  }
  if (dump_data_flag) check_and_open_rtg_data(f.tw_wdir);
}

/* Packet k: clock steps, decoding, inserts, and the closing step. */
void write_packet(const FileWalk &f, int k) {
  long long off = static_cast<long long>(k) * f.packet_size;
  if (off + RTG_HDR_LEN > f.size) return; /* a packet size too small for the file */
  PacketHeader h = read_header(f.data + off);
  if (h.opcode == 2) return;
  g_curr_seq_no = h.seq;
  Window w = window_of(g_curr_seq_no, f.packet_count_to_merge);
  long long gap = static_cast<long long>(g_curr_seq_no) - g_prev_seq_no;
  if (k != 1 && gap > 1) step_missing_samples(gap);
  if (k == 1 && partition_switch_flag) step_for_time_gap(h.ts_ms);
  test_end_time = ms_to_sec(h.ts_ms);
  if (k == f.num_pckts - 1) g_prev_rtg_ts = h.ts_ms;
  for (int gi = 0; gi < total_tsdb_group_entries; ++gi) {
    TSDB_INFO *g = &f.groups[gi];
    if (g->group_deleted != 1 && g->elements_done == 1)
      write_group(f, g, static_cast<int>(off), w);
  }
  if (w.close) step_clock();
  g_prev_seq_no = g_curr_seq_no;
  s_last_closed = w.close;
}

/* The generator rule: generator vectors stay out of the store unless -G was
 * given, except the overall one. */
bool is_left_out_generator(const char *hierarchy, const char *vector_name) {
  return strstr(hierarchy, "Controller>Generator") && not_include_generator &&
         !strstr(vector_name, "Controller>Overall");
}

void trace_insert(const TSDB_INFO *g, const Vector_list *v, bool merged_later) {
  if (!(sd_log_tracing_level & 0x0000FF00u)) return;
  const char *group = g->tsdb_group_data_ptr->group_name;
  if (merged_later)
    TRACE2("Going to insert agg data on tsdb for Group : %s, Vector : %s\n start Time : ", group,
           v->vector_name);
  else
    TRACE2("Going to insert agg data on tsdb for Group : %s, Vector : %s\n", group,
           v->vector_name);
  if (g_debug_level > 1)
    for (int e = 0; e < g->total_elements; ++e) TRACE2("Date[%d] = %lf, ", e, v->data[e]);
}

/* First insert of vector vi: creates it in the store. */
int first_insert(TSDB_INFO *g, int vi) {
  Vector_list *v = &g->vector_list_ptr[vi];
  const tsdb_metric_group *grp = g->tsdb_group_data_ptr;
  if (is_left_out_generator(grp->heirarchy, v->vector_name)) {
    v->metrics_idx_found = kStateLeftOut;
    return 0;
  }
  char hier_buf[512], name_buf[1024];
  char *hier[kMaxNameFields], *name[kMaxNameFields];
  snprintf(hier_buf, sizeof hier_buf, "%s", grp->heirarchy);
  snprintf(name_buf, sizeof name_buf, "%s", v->vector_name);
  char sep[] = ">";
  int vf = get_tokens(name_buf, name, sep, kMaxNameFields);
  int hf = get_tokens(hier_buf, hier, sep, kMaxNameFields);
  if (hf != vf)
    TRACE1("TSDB:ERROR MISMATCHED BREADCUM vector_name_fields  %d mon_breadcrumb_fields %d "
           "vector_name = %s local_group_data_ptr->Hierarchy %s MONITOR_NAME %s Group Name %s\n",
           vf, hf, vf > 0 ? name[0] : "", grp->heirarchy, grp->group_name, grp->group_name);
  tag_val_ptr_t tags[kMaxNameFields + 2];
  get_subject_name(name, hier, tags, hf + 2, vf, hf);
  v->metric_id = tsdb_malloc_metric_id_buffer(grp->num_graphs);
  trace_insert(g, v, false);
  char msg[TSDB_ERR_MSG_LEN] = "";
  int rc = tsdb_insert_bulk_metric_by_mg_gid_ex(tags, nullptr, nullptr, 0, hf + 2,
                                                static_cast<int>(g->mg_gid), g_frequency, v->data,
                                                grp->num_graphs, v->metric_id, 0, msg,
                                                g->total_elements);
  if (rc < 0) {
    TRACE2("TSDB:ERROR tsdb_insert_bulk_metric_by_mg_gid_ex() error message = %s Return val = "
           "%d\n", msg, rc);
    /* The store never filled this buffer, so no series stands behind it: the
     * ordinary heap release (the store's buffers are plain heap blocks) frees
     * it without a store call, and the retry asks for a new one. */
    free(v->metric_id);
    v->metric_id = nullptr;
    return -1;
  }
  v->metrics_idx_found = kStateInStore;
  ++g_tsdb_subject_register;
  return 0;
}

}  // namespace

/* Imports the open raw sample file fd (see the header). Ends the process
 * when memory or the read fails, or when the data vanishes while decoding. */
void write_data_in_tsdb(TSDB_INFO *tsdb_info, char *rtg_file, int num_pckts, int fd,
                        long long packet_size, int size, char *tw_wdir,
                        partition_struct *ptr, int frequency_changed,
                        int packet_count_to_merge) {
  progress_set_version(ptr ? ptr->partition_idx : "", rtg_version_of(rtg_file), num_pckts);
  FileWalk f{tsdb_info, read_whole_file(fd, size), size, num_pckts, packet_size,
             rtg_file,  tw_wdir,                   frequency_changed, packet_count_to_merge};
  sample_decode_begin_file(tsdb_info, total_tsdb_group_entries);
  for (int k = 1; k < num_pckts; ++k) {
    write_packet(f, k);
    progress_set_packets(k);
  }
  sample_decode_end_file();
  free(f.data);
}

/* Inserts vector vec_idx of tsdb_info: the first time by group id (or leaves
 * a generator vector out for good), later by metric id. Returns 0 when done
 * or left out, -1 when the store refused (a refused first insert is retried
 * at the next closing packet). Counts every call. */
int insert_into_tsdb(TSDB_INFO *tsdb_info, int vec_idx, int frequency_changed,
                     int /*migrate_flag*/) {
  ++no_of_sample_inserted_in_par;
  ++total_sample;
  Vector_list *v = &tsdb_info->vector_list_ptr[vec_idx];
  if (v->metrics_idx_found == kStateNew) return first_insert(tsdb_info, vec_idx);
  if (v->metrics_idx_found != kStateInStore) return 0;
  trace_insert(tsdb_info, v, frequency_changed != 0);
  int rc = tsdb_insert_bulk_metric_by_id(nullptr, v->metric_id, g_frequency, v->data,
                                         tsdb_info->tsdb_group_data_ptr->num_graphs, 0,
                                         tsdb_info->total_elements);
  if (rc < 0) {
    TRACE2("TSDB:ERROR tsdb_insert_bulk_metric_by_id() error message = %s Return val = %d\n", "",
           rc);
    return -1;
  }
  return 0;
}

/* Fills tv_arr_buf with customer and application ("Default"), then one entry
 * per hierarchy level: the level's name as tag, the vector's field at that
 * level as value ("Default" when the name is shorter). Returns 0. */
char get_subject_name(char **vector_fields, char **Hierarchy, tag_val_ptr_t *tv_arr_buf,
                      int /*num_levels*/, int vector_name_fields, int hierarchy_level) {
  static char customer[] = "customer", application[] = "application", dflt[] = "Default";
  tv_arr_buf[0] = {customer, dflt};
  tv_arr_buf[1] = {application, dflt};
  for (int i = 0; i < hierarchy_level; ++i)
    tv_arr_buf[i + 2] = {Hierarchy[i], i < vector_name_fields ? vector_fields[i] : dflt};
  return 0;
}
