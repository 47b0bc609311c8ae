/*
 * rtg_packet.h - the one home of the raw sample packet layout: the header
 * fields every packet starts with, the stored element widths with their
 * reserved (missing) values, and the accessors that read them.
 *
 * A raw sample file is a run of packets of one size (the Info line's), all
 * numbers little-endian:
 *
 *   offset  width  field
 *        0      8  double  opcode; 2 = a packet without samples
 *        8     16          (not read)
 *       24      8  double  sequence number; consecutive samples count by one
 *       32      8          (not read)
 *       40      8  double  time stamp, milliseconds since the Unix epoch
 *       48      -  the groups' value blocks, at the offsets the graph
 *                  definitions give
 *
 * A stored element is a signed integer of 1, 2 or 4 bytes or an 8-byte
 * double. One integer value per width is reserved for "no sample": -127,
 * -32767 and -2147483647 widen to the missing-value marker; a double has no
 * reserved value. Header-only; no state.
 */
#ifndef RTG_PACKET_H
#define RTG_PACKET_H

#include <limits.h>
#include <stdint.h>
#include <string.h>

#include "orvtsdb.h"

#define RTG_HDR_OPCODE_OFF 0
#define RTG_HDR_SEQ_OFF 24
#define RTG_HDR_TS_OFF 40
#define RTG_HDR_LEN 48

/* The opcode of a packet that carries no samples to import. */
#define RTG_OPCODE_NO_SAMPLES 2

/* The reserved stored integers: a missing sample of each width. */
#define RTG_MISSING_I8 (-127)
#define RTG_MISSING_I16 (-32767)
#define RTG_MISSING_I32 (-2147483647)

/* The header of one packet, as the tool uses it. */
struct RtgPacketHeader {
  int opcode;   /* truncated toward zero; INT_MIN when not an int */
  int seq;      /* truncated toward zero; INT_MIN when not an int */
  double ts_ms; /* as stored: may be NaN or any value in damaged files */
};

/* The 8 bytes at p as a double (no alignment needed). */
inline double rtg_load_double(const char *p) {
  double v;
  memcpy(&v, p, sizeof v);
  return v;
}

/* A stored double truncated to int; outside int (and NaN) gives INT_MIN. */
inline int rtg_trunc_to_int(double v) {
  return (v > -2147483649.0 && v < 2147483648.0) ? static_cast<int>(v) : INT_MIN;
}

/* The header of the packet that starts at pkt (RTG_HDR_LEN bytes readable). */
inline RtgPacketHeader rtg_read_header(const char *pkt) {
  return {rtg_trunc_to_int(rtg_load_double(pkt + RTG_HDR_OPCODE_OFF)),
          rtg_trunc_to_int(rtg_load_double(pkt + RTG_HDR_SEQ_OFF)),
          rtg_load_double(pkt + RTG_HDR_TS_OFF)};
}

/* A time stamp in whole seconds: truncated to a 64-bit count of
 * milliseconds, then divided by 1000. The caller checks the stamp first
 * (rtg_ts_convertible); anything a 64-bit count cannot hold gives 0. */
inline long rtg_ts_to_sec(double ms) {
  if (!(ms > -9.2e18 && ms < 9.2e18)) return 0;
  return static_cast<long>(static_cast<long long>(ms) / 1000);
}

/* Whether a time stamp converts to a 64-bit count of milliseconds at all:
 * NaN, the infinities and magnitudes of 2^63 and more have no such count
 * (truncating them is undefined), so no run time can be taken from them.
 * Any other stamp, however far from today, is the run's own. */
inline bool rtg_ts_convertible(double ms) { return ms > -9.2e18 && ms < 9.2e18; }

/* A width the type table never gives: its bytes as the leading bytes of a
 * cleared double. */
inline double rtg_widen_odd(const char *p, int width) {
  double v = 0.0;
  memcpy(&v, p, width < 8 ? width : 8);
  return v;
}

/* One stored element as a double: 1, 2 and 4 bytes are signed integers whose
 * reserved value becomes TSDB_MISSING_VALUE; 8 bytes are a double. */
inline double rtg_widen(const char *p, int width) {
  switch (width) {
    case 1: {
      int8_t v;
      memcpy(&v, p, 1);
      return v == RTG_MISSING_I8 ? TSDB_MISSING_VALUE : v;
    }
    case 2: {
      int16_t v;
      memcpy(&v, p, 2);
      return v == RTG_MISSING_I16 ? TSDB_MISSING_VALUE : v;
    }
    case 4: {
      int32_t v;
      memcpy(&v, p, 4);
      return v == RTG_MISSING_I32 ? TSDB_MISSING_VALUE : v;
    }
    case 8: return rtg_load_double(p);
    default: return rtg_widen_odd(p, width);
  }
}

#endif /* RTG_PACKET_H */
