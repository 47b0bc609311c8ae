/*
 * packet_walk.cpp - walks the packets of one raw sample file into the store
 * (write_data_in_tsdb): packet 1 to the last (packet 0 is never a sample).
 * Per packet: the store's sample clock is kept in step (one step per sample
 * missing between sequence numbers or between files, one after the inserts
 * of a packet that closes a merge window), every active vector of every
 * complete group is decoded (sample_decode.cpp), and at a closing packet each
 * vector goes to the store writer (store_writer.cpp).
 *
 * Merge windows: a packet opens a window when its sequence number leaves
 * remainder 1 by the merge count, and also when it is the first packet
 * handled since the last closing packet or since the partition began, so a
 * window never carries sums over from one that did not close. It closes at
 * remainder 0; with a merge count of 1 every packet opens and closes.
 *
 * Damaged files: every packet handled must carry a time stamp that converts
 * to a 64-bit count of milliseconds (rtg_packet.h), and one gap, by sequence
 * numbers or between files, may hold at most kMaxGapSeconds of missing
 * samples. Anything else is refused with one message naming the file,
 * partition and packet, and the process ends before the store's migration
 * is closed, so the store keeps nothing of this migration. Without the gap
 * bound a damaged header walks the clock one store step per "missing"
 * sample: a file whose overlapping packets jump by 2^31 sequence numbers
 * each would step it for days, a loop whose length only the file states.
 *
 * Ownership: the file data is the reader's block (reused by the next file)
 * and is read only from the read to the end of the packet loop. A vector's `data` and `sample_count` are allocated once and then
 * reused (cleared while the vector is not yet in the store). Single-threaded.
 */
#include <math.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "rtg_packet.h"
#include "vira_zedazad_uvoz_izu.h"

double g_curr_rtg_ts = 0.0;
double g_prev_rtg_ts = 0.0;

namespace {

/* The longest gap one packet may close: 31 days of missing samples. A
 * load-test run lasts hours to days and a recorder that stops for longer
 * starts a new partition; a longer gap is a damaged sequence number or time
 * stamp, and walking it would cost one store step per sample (2.7 million at
 * one second). */
constexpr long long kMaxGapSeconds = 31LL * 86400;

/* The file in hand and what every packet of it shares. */
struct FileWalk {
  TSDB_INFO *groups;
  char *data;
  int size;
  int num_pckts;
  long long packet_size;
  char *rtg_file;
  char *tw_wdir;
  const char *partition; /* the partition folder, for refusals */
  int frequency_changed;
  int packet_count_to_merge;
};

/* The last packet handled closed its window (or nothing was handled yet). */
bool s_last_closed = true;

/* The version number in a raw sample file name: 0 for rtgMessage.dat, n for
 * rtgMessage.dat.n. */
int rtg_version_of(const char *path) {
  static const char kVersioned[] = "rtgMessage.dat.";
  const char *base = strrchr(path, '/');
  base = base ? base + 1 : path;
  if (strncmp(base, kVersioned, sizeof kVersioned - 1) != 0) return 0;
  return atoi(base + sizeof kVersioned - 1);
}

/* Opening and closing of the packet with sequence number seq. */
MergeWindow window_of(int seq, int merge_count) {
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

/* n steps for samples missing from the files: the one loop that walks the
 * clock over a gap, whether found by sequence numbers or by time stamps. */
void step_missing_samples(long long n) {
  for (long long i = 0; i < n; ++i) {
    step_clock();
    ++total_missing_sample;
  }
}

/* Ends the process: packet k of the file is damaged beyond migrating. */
[[noreturn]] void refuse_packet(const FileWalk &f, int k, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

void refuse_packet(const FileWalk &f, int k, const char *format, ...) {
  char cause[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(cause, sizeof cause, format, ap);
  va_end(ap);
  const char *partition = strrchr(f.partition, '/');
  partition = partition ? partition + 1 : f.partition;
  reset_test_start_time();
  TRACE1("Raw sample file %s refused at packet %d: %s\n", f.rtg_file, k, cause);
  vzu_fatal(stderr, " %s | Raw sample file '%s' of partition %s refused at packet %d: %s\n",
            g_test_start_time, f.rtg_file, partition, k, cause);
}

/* Store steps of one granularity that kMaxGapSeconds allows. */
long long max_gap_steps(void) { return kMaxGapSeconds / (g_frequency > 0 ? g_frequency : 1); }

void check_gap(const FileWalk &f, int k, double steps, const char *what) {
  if (steps > static_cast<double>(max_gap_steps()))
    refuse_packet(f, k, "%s of %.0f samples of %d s is longer than the %lld days one gap may hold",
                  what, steps, g_frequency, kMaxGapSeconds / 86400);
}

void check_time_stamp(const FileWalk &f, int k, double ts_ms) {
  if (!rtg_ts_convertible(ts_ms))
    refuse_packet(f, k, "time stamp %g ms is no count of milliseconds", ts_ms);
}

/* A sequence number an int cannot hold (NaN, infinite, beyond 2^31) has no
 * truncation; refused at its own packet rather than read as a gap at the
 * next one. */
void check_sequence_number(const FileWalk &f, int k, const RtgPacketHeader &h, long long off) {
  if (h.seq == INT_MIN)
    refuse_packet(f, k, "sequence number %g is no whole number an int holds",
                  rtg_load_double(f.data + off + RTG_HDR_SEQ_OFF));
}

/* Samples missing between this file's packet 1 and the previous file's last
 * packet (from the second partition on): q intervals, rounded up. */
void step_for_time_gap(const FileWalk &f, double ts_ms) {
  g_curr_rtg_ts = ts_ms;
  int interval_ms = g_progress_interval * 1000;
  if (g_prev_rtg_ts == 0.0 || interval_ms <= 0) return;
  double q = (g_curr_rtg_ts - g_prev_rtg_ts) / static_cast<double>(interval_ms);
  if (!(q > 1.0)) return;
  check_gap(f, 1, ceil(q), "the time gap since the previous file");
  step_missing_samples(static_cast<long long>(ceil(q)));
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

/* Decodes vector vi of the packet at off. False when it got nothing: the
 * decoders also check that the vector's block lies within the file data (its
 * index comes from a vector line and may be anything a long holds). */
bool decode_vector(const FileWalk &f, TSDB_INFO *g, int vi, int off, MergeWindow w) {
  if (g->type_cast_reqd == 1 || f.frequency_changed) {
    int rc = get_type_cast_and_send_to_tsdb(g, g->vector_list_ptr[vi].rtg_idx, off, vi, f.data,
                                            f.size, f.packet_size, f.rtg_file, f.frequency_changed,
                                            f.packet_count_to_merge, w.close, w.open);
    if (rc == -1) vzu_fatal(stderr, "*******rtg memory dara is freed Now ******\n");
    return rc == 0;
  }
  int rc = decode_double_vector(g, vi, off, f.data, f.size, f.packet_size, f.rtg_file);
  if (rc == -1) vzu_fatal(stderr, "*******rtg memory data is freed Now ******\n");
  return rc == 0;
}

void write_group(const FileWalk &f, TSDB_INFO *g, int off, MergeWindow w) {
  for (int vi = 0; vi < g->total_vector_entries; ++vi) {
    Vector_list *v = &g->vector_list_ptr[vi];
    /* A vector not yet in the store gets fresh arrays at every packet, so
     * every packet opens its window: a cumulative value missing from the
     * closing packet then stays missing instead of becoming the zero fill. */
    MergeWindow vw = w;
    if (v->metrics_idx_found == VECTOR_NEW || !v->data) {
      prepare_arrays(g, v);
      vw.open = true;
    }
    if (v->delete_flag == 1 || v->rtg_idx == -1) continue;
    if (!decode_vector(f, g, vi, off, vw)) continue;
    if (w.close && v->metrics_idx_found != VECTOR_LEFT_OUT)
      insert_into_tsdb(g, vi, f.frequency_changed, 1);
  }
  if (dump_data_flag) check_and_open_rtg_data(f.tw_wdir);
}

/* Packet k: clock steps, decoding, inserts, and the closing step. */
void write_packet(const FileWalk &f, int k) {
  long long off, hdr_end;
  if (__builtin_mul_overflow(static_cast<long long>(k), f.packet_size, &off) ||
      __builtin_add_overflow(off, RTG_HDR_LEN, &hdr_end) || hdr_end > f.size)
    return; /* a packet size too small for the file */
  RtgPacketHeader h = rtg_read_header(f.data + off);
  if (h.opcode == RTG_OPCODE_NO_SAMPLES) return;
  check_time_stamp(f, k, h.ts_ms);
  check_sequence_number(f, k, h, off);
  g_curr_seq_no = h.seq;
  MergeWindow w = window_of(g_curr_seq_no, f.packet_count_to_merge);
  long long gap = static_cast<long long>(g_curr_seq_no) - g_prev_seq_no;
  if (k != 1 && gap > 1) {
    check_gap(f, k, static_cast<double>(gap), "the sequence gap");
    step_missing_samples(gap);
  }
  if (k == 1 && partition_switch_flag) step_for_time_gap(f, h.ts_ms);
  test_end_time = rtg_ts_to_sec(h.ts_ms);
  if (k == f.num_pckts - 1) g_prev_rtg_ts = h.ts_ms;
  for (int gi = 0; gi < total_tsdb_group_entries; ++gi) {
    TSDB_INFO *g = &f.groups[gi];
    if (g->group_deleted != 1 && g->elements_done == 1) write_group(f, g, static_cast<int>(off), w);
  }
  if (w.close) step_clock();
  g_prev_seq_no = g_curr_seq_no;
  s_last_closed = w.close;
}

}  // namespace

/* Imports the open raw sample file fd (see the header). Ends the process
 * when memory or the read fails, when the data vanishes while decoding, or
 * when a packet is refused. */
void write_data_in_tsdb(TSDB_INFO *tsdb_info, char *rtg_file, int num_pckts, int fd,
                        long long packet_size, int size, char *tw_wdir, partition_struct *ptr,
                        int frequency_changed, int packet_count_to_merge) {
  progress_set_version(ptr ? ptr->partition_idx : "", rtg_version_of(rtg_file), num_pckts);
  FileWalk f{tsdb_info,
             rtg_read_whole_file(fd, size),
             size,
             num_pckts,
             packet_size,
             rtg_file,
             tw_wdir,
             ptr ? ptr->partition_idx : "",
             frequency_changed,
             packet_count_to_merge};
  sample_decode_begin_file(tsdb_info, total_tsdb_group_entries);
  for (int k = 1; k < num_pckts; ++k) {
    write_packet(f, k);
    progress_set_packets(k);
  }
  sample_decode_end_file();
}
