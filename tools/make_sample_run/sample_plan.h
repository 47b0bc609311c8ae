/*
 * sample_plan.h - what a generated sample run contains: its groups and graphs,
 * where every vector's values sit in a raw sample packet, which vectors each
 * graph definition version adds, moves, deletes and brings back, and the
 * header (opcode, sequence number, time stamp) of every packet.
 *
 * The plan is pure data computed from the options; the file writer
 * (run_writer.cpp) and the expected-store model (expected_store.cpp) both walk
 * it, so the two never disagree about the run's shape, while each computes
 * its own side (bytes on disk, values in the store) on its own.
 *
 * Packet layout: a 48-byte header, then one block per group at a fixed offset
 * for the whole run (the tool takes a group's offset from the first file that
 * defines it). A group's block holds `slots` vector blocks of
 * `vector_bytes` each; slots beyond the listed vectors stay free for the
 * vectors that later versions add or move.
 */
#ifndef MAKE_SAMPLE_RUN_SAMPLE_PLAN_H
#define MAKE_SAMPLE_RUN_SAMPLE_PLAN_H

#include <cstdint>
#include <string>
#include <vector>

namespace sample_run {

/* Response times of one transaction made slower: the avg, min and max of the
 * times graphs of the vector `name` in the transaction groups are multiplied
 * by `factor` from `from_seconds` after the run's first packet on. */
struct Slowdown {
  std::string name;
  double factor = 1;
  int64_t from_seconds = 0;
};

/* Size options; see the presets in sample_plan.cpp. */
struct PlanOptions {
  int testrun = 1234;
  int groups = 8;   /* total groups: the 6 fixed ones plus extra server groups */
  int vectors = 4;  /* vectors listed per vector group in the first partition */
  int graphs = 6;   /* graphs of each extra server group */
  int packets = 40; /* sample packets per raw sample file (packet 0 not counted) */
  int interval_ms = 1000;
  int partitions = 3;
  int versions = 3; /* graph definition versions per partition */
  uint64_t seed = 1;
  int64_t start_epoch = 1709542800; /* 2024-03-04 09:00:00 UTC */
  bool tight_slots = false;         /* reserve only the vector blocks the versions use */
  /* When set, the per-sample noise comes from this seed (autocorrelated, see
   * sample_values.h) while levels, phases and shapes stay those of `seed`:
   * two runs differ by noise alone. Unset, runs are as they always were. */
  bool has_noise_seed = false;
  uint64_t noise_seed = 0;
  std::vector<Slowdown> slowdowns;
  /* Share (0..1) of the vectors' double-typed graphs whose values keep full
   * precision instead of three decimals. */
  double full_doubles = 0;
  /* Scales the response times' noise around their level (1: as always). */
  double noise_scale = 1;
};

/* Bytes of the packet header (opcode, sequence number, time stamp inside). */
constexpr int PACKET_HEADER_BYTES = 48;
/* Interval of the partition whose packets the tool has to merge. */
constexpr int MERGE_INTERVAL_MS = 5000;

enum class RptClass { BuiltIn, Remapped, HighId };

struct GraphDef {
  std::string name;    /* as written in the graph definition file */
  int data_type = 0;   /* index into ORV_DATA_TYPES */
  std::string formula; /* "SEC", "KBPS", "PM", "PS", "DBH" or "NA" */
  int rpt_id = 0;
  double lo = 0, hi = 1; /* realistic range of the graph's main value */
};

struct GroupDef {
  std::string name;
  int rpt_id = 0;           /* as written in the file (10294 and friends get remapped) */
  bool vector_group = true; /* false: scalar */
  std::string hierarchy;    /* the file's field: "-" for none */
  std::string metric, desc;
  bool one_token = true; /* first-partition vectors listed without offsets */
  std::vector<GraphDef> graphs;
  std::vector<std::string> vectors; /* names listed in the first partition */
  int slots = 0;                    /* vector blocks reserved in the packet */
  int start = 0;                    /* offset of the group's block in a packet */
  int vector_bytes = 0;             /* bytes of one vector's values */
  int elements = 0;                 /* values of one vector */
};

/* One vector as the tool should see it in one version. */
struct VectorPlace {
  std::string name; /* as listed (no prefix) */
  int offset = -1;  /* byte offset in the packet */
  bool active = true;
};

enum class EventKind { Add, Move, Delete, Readd };

/* A vector line of a graph definition diff. */
struct VectorEvent {
  EventKind kind;
  int group;
  std::string name;
  int offset; /* the offset written on the line */
};

/* The header of one packet of a raw sample file. */
struct PacketHead {
  int opcode = 1;
  int64_t seq = 0;
  int64_t ts_ms = 0;
};

/* One graph definition version and its raw sample file. */
struct VersionPlan {
  int number = 0;                               /* 0: testrun.gdf, n: testrun.gdf.diff.n */
  std::vector<VectorEvent> events;              /* vector lines of a diff (empty for 0) */
  std::vector<std::vector<VectorPlace>> layout; /* per group, after the events */
  std::vector<PacketHead> packets;              /* packet 0 first */
};

struct PartitionPlan {
  std::string name; /* 14 digits, local time of its first packet */
  int interval_ms = 1000;
  std::vector<VersionPlan> versions;
};

/* A slowdown resolved against the plan: the vector key it hits in `group`
 * and the first sequence number it applies to. */
struct SlowdownAt {
  int group = 0;
  uint64_t vkey = 0;
  double factor = 1;
  int64_t from_seq = 0;
};

struct RunPlan {
  PlanOptions opt;
  std::vector<SlowdownAt> slowdowns;
  std::vector<GroupDef> groups;
  std::vector<PartitionPlan> partitions;
  int packet_size = 0;
};

/* Fills a plan from the options. Returns an empty string, or the reason why
 * the options cannot give a valid run. */
std::string build_plan(const PlanOptions &opt, RunPlan &plan);

/* Applies a preset ("small", "medium", "large", "wide") to opt. false if
 * unknown. */
bool apply_preset(const std::string &name, PlanOptions &opt);

/* Report id as the tool stores it (the six remapped ids become 50..55). */
int stored_rpt_id(int rpt_id);
RptClass rpt_class(int stored_id);
/* The hierarchy the tool stores for a group. */
std::string stored_hierarchy(const GroupDef &g);
/* The name the tool gives a listed vector: built-in and remapped groups
 * prefix "VuvoRavu>" (the runs never add vectors to built-in groups in later
 * versions, where the tool would not); the listed name "" stands for the one
 * vector "VuvoRavu" of a built-in group that lists none. */
std::string stored_vector_name(const GroupDef &g, const std::string &listed);
/* The graph name the tool registers ("(Sec..." becomes "(ms)" for SEC). */
std::string stored_graph_name(const GraphDef &gr);
/* Whether the tool leaves the vector out unless -G is given. */
bool is_generator_vector(const GroupDef &g, const std::string &stored_name);

}  // namespace sample_run

#endif
