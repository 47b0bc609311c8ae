/*
 * sample_plan.cpp - builds the plan of a sample run from the size options.
 *
 * Five fixed groups cover every report id class and, between them, graphs of
 * all 17 data types and all five formulas; `groups` - 5 extra server groups
 * (high ids, two-level hierarchy, graphs cycling through the data types) add
 * bulk for the larger presets. Partition 1 samples every 5 s, so the tool
 * merges two packets per 10 s store sample; the first partition carries an
 * opcode-2 packet and the last one a sequence gap. Every later version of a
 * partition adds a vector, moves one, deletes one and brings back the vector
 * that the version before deleted. Page and server groups list their vectors
 * by name alone (the tool lays them out), the others with their offsets.
 * Graphs named "(Secs)" carry milliseconds, as the tool's "(ms)" rename of
 * SEC graphs says.
 */
#include "sample_plan.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "orvtsdb_data_types.h"
#include "sample_values.h"

namespace sample_run {

namespace {

constexpr int FIXED_GROUPS = 5;
constexpr int FIRST_GROUP_OFFSET = 64;
/* Fixed group indexes (the order of their Group lines). */
enum { G_VUSER, G_PAGE, G_TXN, G_SERVER, G_GENERATOR };

GraphDef graph(const std::string &name, const char *type, const char *formula, double lo,
               double hi) {
  GraphDef g;
  g.name = name;
  for (int t = 0; t < ORV_NUM_DATA_TYPES; t++)
    if (std::string(ORV_DATA_TYPES[t].name) == type) g.data_type = t;
  g.formula = formula;
  g.lo = lo;
  g.hi = hi;
  return g;
}

GroupDef group(const std::string &name, int rpt, bool vec, const std::string &hier, bool one_token,
               std::vector<GraphDef> graphs) {
  GroupDef g;
  g.name = name;
  g.rpt_id = rpt;
  g.vector_group = vec;
  g.hierarchy = hier;
  g.metric = name;
  g.desc = name + " of the test run";
  g.one_token = one_token;
  g.graphs = std::move(graphs);
  return g;
}

std::string numbered(const char *prefix, int n) {
  char buf[64];
  snprintf(buf, sizeof buf, "%s%02d", prefix, n);
  return buf;
}

std::vector<std::string> page_names(int n) {
  static const char *const pages[] = {"Home", "Login",    "Search", "Product",
                                      "Cart", "Checkout", "Logout"};
  std::vector<std::string> out;
  for (int i = 0; i < n; i++) out.push_back(i < 7 ? pages[i] : numbered("Page", i + 1));
  return out;
}

std::vector<std::string> txn_names(int n) {
  static const char *const txns[] = {"Login", "Browse", "AddToCart", "Checkout", "Logout"};
  std::vector<std::string> out;
  for (int i = 0; i < n; i++) out.push_back(i < 5 ? txns[i] : numbered("Txn", i + 1));
  return out;
}

std::string server_name(int k) {
  static const char *const tiers[] = {"WebTier", "AppTier", "DbTier"};
  char buf[96];
  snprintf(buf, sizeof buf, "%s>%s%02d>inst%d", tiers[k % 3], k % 3 == 2 ? "db" : "srv", k / 3 + 1,
           1 + k / 30);
  return buf;
}

std::string host_name(int k) { return numbered("Tier", 1 + k % 4) + ">" + numbered("host", k); }

std::vector<GroupDef> fixed_groups(int vectors) {
  std::vector<GroupDef> g;
  g.push_back(group("Vuser Info", 1, false, "-", true,
                    {graph("Running Vusers", "sample_4B", "NA", 50, 500),
                     graph("Active Vusers", "sample_1B", "NA", 10, 100),
                     graph("Vuser Think Time (Secs)", "times_4B_1000", "SEC", 500, 5000),
                     graph("Vuser Session Rate", "rate_4B_1000", "PM", 5, 120)}));
  g.push_back(group("Page Download Stats", 3, true, "Page", true,
                    {graph("Page Downloads/Sec", "rate", "PS", 1, 200),
                     graph("Page Download Time (Secs)", "times", "SEC", 50, 3000),
                     graph("Page Response Time Spread (Secs)", "timesStd", "SEC", 50, 3000),
                     graph("Page Size (KB)", "sample_2B_100_count_4B", "NA", 5, 300)}));
  g.push_back(group("Transaction Stats", 10294, true, "Transaction", false,
                    {graph("Transactions Completed/Min", "rate_4B_1000", "PM", 10, 600),
                     graph("Transaction Time (Secs)", "times_4B_1000", "SEC", 100, 8000),
                     graph("Transaction Time Spread (Secs)", "timesStd_4B_1000", "SEC", 100, 8000),
                     graph("Transactions Completed", "cumulative", "NA", 1, 20)}));
  g.push_back(group("Server Stats", 10100, true, "Tier>Server>Instance", true,
                    {graph("CPU Utilization (Pct)", "sample_2B_100", "NA", 5, 95),
                     graph("Load Average", "sample_4B_1000", "NA", 0.1, 8),
                     graph("Network Throughput (Kbps)", "sum_4B", "KBPS", 1e5, 5e7),
                     graph("Disk Service Time", "times_4B_10", "NA", 1, 200),
                     graph("Request Latency Digest", "tdigest_4B", "NA", 1000, 900000),
                     graph("Cache Hit Ratio (Pct)", "sample", "DBH", 5000, 9990),
                     graph("Bytes Received", "sum", "PS", 1e4, 1e7)}));
  g.push_back(group("Generator Stats", 10200, true, "Controller>Generator", false,
                    {graph("Generator Requests/Sec", "rate", "PS", 10, 2000),
                     graph("Generator CPU (Pct)", "sample_2B_100", "NA", 5, 90)}));
  g[G_PAGE].vectors = page_names(vectors);
  g[G_TXN].vectors = txn_names(vectors);
  for (int k = 0; k < vectors; k++) g[G_SERVER].vectors.push_back(server_name(k));
  g[G_GENERATOR].vectors.push_back("Controller>Overall");
  for (int k = 1; k < std::max(vectors, 3); k++)
    g[G_GENERATOR].vectors.push_back(numbered("Controller>gen", k));
  return g;
}

/* Extra server group number n: graphs cycle through every data type, the
 * single-value ones through the formulas. */
GroupDef extra_group(int n, int graphs, int vectors) {
  static const char *const formulas[] = {"NA", "PS", "PM", "DBH", "KBPS"};
  std::vector<GraphDef> gr;
  for (int j = 0; j < graphs; j++) {
    int t = (n + j) % ORV_NUM_DATA_TYPES;
    const orv_data_type_t &d = ORV_DATA_TYPES[t];
    bool single = d.family == ORV_FAMILY_SINGLE;
    double hi = d.width == 1 ? 120 : d.width == 2 || t == 10 ? 300 : 5000;
    gr.push_back(graph(std::string("Metric ") + std::to_string(j + 1) + " " + d.name, d.name,
                       single ? formulas[(n + j) % 5] : "NA", 1, hi));
  }
  GroupDef g = group(numbered("Host Metrics ", n), 10400 + n, true, "Tier>Host", false, gr);
  for (int k = 0; k < vectors; k++) g.vectors.push_back(host_name(n * 1000 + k));
  return g;
}

/* Lays the groups out in the packet, each vector group with `spare` free
 * blocks after its listed vectors or, when `slots` is given, with exactly
 * that many blocks; returns the packet size. */
int lay_out_groups(std::vector<GroupDef> &groups, int spare,
                   const std::vector<int> *slots = nullptr) {
  int off = FIRST_GROUP_OFFSET;
  for (GroupDef &g : groups) {
    g.vector_bytes = g.elements = 0;
    for (const GraphDef &gr : g.graphs) {
      g.vector_bytes += graph_width(gr.data_type);
      g.elements += ORV_DATA_TYPES[gr.data_type].elements;
    }
    size_t i = &g - groups.data();
    if (!g.vector_group)
      g.slots = 1;
    else
      g.slots = slots ? (*slots)[i] : (int)g.vectors.size() + spare;
    g.start = off;
    off += g.slots * g.vector_bytes;
  }
  return (off + 7) / 8 * 8;
}

std::string partition_name(int64_t ts_ms) {
  time_t t = (time_t)(ts_ms / 1000);
  struct tm tm;
  localtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &tm);
  return buf;
}

/* Walks the versions of the run, keeping every group's vectors and free
 * slots, and turns each later version into its vector events. */
class LayoutWalker {
 public:
  LayoutWalker(const std::vector<GroupDef> &groups) : groups_(groups), alive_(groups.size()) {
    for (size_t g = 0; g < groups.size(); g++) alive_[g] = groups[g].vectors;
  }

  /* The first version of a partition: every live vector listed compactly. */
  std::vector<std::vector<VectorPlace>> start_partition() {
    cur_.assign(groups_.size(), {});
    used_.assign(groups_.size(), {});
    for (size_t g = 0; g < groups_.size(); g++) {
      used_[g].assign(groups_[g].slots, false);
      if (!groups_[g].vector_group) cur_[g].push_back({"", groups_[g].start, true});
      for (size_t k = 0; k < alive_[g].size(); k++) {
        cur_[g].push_back({alive_[g][k], slot_offset((int)g, (int)k), true});
        used_[g][k] = true;
      }
    }
    deleted_last_.clear();
    return cur_;
  }

  /* A later version number `e` (counted over the run): brings back the vector
   * deleted by the version before, then adds, moves and deletes one. */
  std::vector<VectorEvent> next_version(int e) {
    std::vector<VectorEvent> ev;
    for (auto &[g, idx] : deleted_last_) {
      cur_[g][idx].active = true;
      ev.push_back({EventKind::Readd, g, cur_[g][idx].name, cur_[g][idx].offset});
    }
    deleted_last_.clear();
    int add_g = pick_server_group(e);
    std::string name = added_name(add_g, e);
    int off = take_slot(add_g);
    cur_[add_g].push_back({name, off, true});
    ev.push_back({EventKind::Add, add_g, name, off});
    static const int movable[] = {G_TXN, G_PAGE, G_SERVER};
    int mg = movable[e % 3];
    int mi = pick_vector(mg, e, ev);
    if (mi >= 0) {
      cur_[mg][mi].offset = take_slot(mg);
      ev.push_back({EventKind::Move, mg, cur_[mg][mi].name, cur_[mg][mi].offset});
    }
    static const int deletable[] = {G_SERVER, G_TXN, G_PAGE};
    int dg = deletable[e % 3];
    int di = pick_vector(dg, e + 1, ev);
    if (di >= 0 && active_count(dg) > 1) {
      cur_[dg][di].active = false;
      deleted_last_.push_back({dg, di});
      ev.push_back({EventKind::Delete, dg, cur_[dg][di].name, cur_[dg][di].offset});
    }
    return ev;
  }

  const std::vector<std::vector<VectorPlace>> &layout() const { return cur_; }

  /* At the end of a partition the active vectors live on. */
  void end_partition() {
    for (size_t g = 0; g < groups_.size(); g++) {
      alive_[g].clear();
      for (const VectorPlace &v : cur_[g])
        if (v.active && !v.name.empty()) alive_[g].push_back(v.name);
    }
  }

 private:
  int slot_offset(int g, int k) const { return groups_[g].start + k * groups_[g].vector_bytes; }

  int take_slot(int g) {
    auto it = std::find(used_[g].begin(), used_[g].end(), false);
    int k = (int)(it - used_[g].begin());
    used_[g][k] = true;
    return slot_offset(g, k);
  }

  int pick_server_group(int e) const {
    int extra = (int)groups_.size() - FIXED_GROUPS;
    if (extra <= 0 || e % 2 == 0) return G_SERVER;
    return FIXED_GROUPS + (e / 2) % extra;
  }

  /* A name no vector of the run has had: numbers above the listed ones. */
  std::string added_name(int g, int e) {
    int k = (int)groups_[g].vectors.size() + e;
    return g == G_SERVER ? server_name(k) : host_name((g - FIXED_GROUPS + 1) * 1000 + k);
  }

  int active_count(int g) const {
    int n = 0;
    for (const VectorPlace &v : cur_[g]) n += v.active;
    return n;
  }

  /* An active vector of group g that no event of this version touched. */
  int pick_vector(int g, int e, const std::vector<VectorEvent> &ev) const {
    int n = (int)cur_[g].size();
    for (int i = 0; i < n; i++) {
      int k = (e + i) % n;
      const VectorPlace &v = cur_[g][k];
      bool touched = std::any_of(ev.begin(), ev.end(), [&](const VectorEvent &x) {
        return x.group == g && x.name == v.name;
      });
      if (v.active && !touched) return k;
    }
    return -1;
  }

  const std::vector<GroupDef> &groups_;
  std::vector<std::vector<std::string>> alive_;
  std::vector<std::vector<VectorPlace>> cur_;
  std::vector<std::vector<bool>> used_;
  std::vector<std::pair<int, int>> deleted_last_;
};

/* Packet headers of the whole run: one time line and one sequence counter. */
class Timeline {
 public:
  explicit Timeline(int64_t start_ms) : t_(start_ms) {}

  std::vector<PacketHead> file(int n, int interval_ms, int opcode2_at, int gap_at) {
    std::vector<PacketHead> p;
    p.push_back({0, 0, t_});
    for (int k = 1; k <= n; k++) {
      if (k == gap_at) {  // two samples lost: the sequence jumps by 3
        seq_ += 2;
        t_ += 2 * (int64_t)interval_ms;
      }
      if (k == opcode2_at) p.push_back({2, seq_ - 1, t_});
      t_ += interval_ms;
      p.push_back({1, seq_++, t_});
    }
    return p;
  }
  /* Makes the next sequence number odd, so merge windows start on it. */
  void align_odd() {
    if (seq_ % 2 == 0) seq_++;
  }

 private:
  int64_t t_;
  int64_t seq_ = 1;
};

std::string check_options(const PlanOptions &o) {
  if (o.groups < FIXED_GROUPS) return "--groups must be at least 5";
  if (o.vectors < 2) return "--vectors must be at least 2";
  if (o.graphs < 1) return "--graphs must be at least 1";
  if (o.packets < 4) return "--packets must be at least 4";
  if (o.interval_ms < 1000 || o.interval_ms > 86400000)
    return "--interval must be 1000 to 86400000 ms";
  if (o.partitions < 1 || o.versions < 1) return "--partitions and --versions must be positive";
  return "";
}

/* Walks the run's partitions and versions over the groups as laid out,
 * filling plan.partitions. */
void walk_run(RunPlan &plan) {
  const PlanOptions &opt = plan.opt;
  plan.partitions.clear();
  LayoutWalker walker(plan.groups);
  Timeline time(opt.start_epoch * 1000);
  int diff_no = 0;
  for (int p = 0; p < opt.partitions; p++) {
    PartitionPlan part;
    bool merged = p == 1;
    part.interval_ms = merged ? MERGE_INTERVAL_MS : opt.interval_ms;
    int n = merged ? (opt.packets + 1) / 2 * 2 : opt.packets;
    if (merged) time.align_odd();
    for (int v = 0; v < opt.versions; v++) {
      VersionPlan ver;
      ver.number = v;
      if (v == 0) {
        ver.layout = walker.start_partition();
      } else {
        ver.events = walker.next_version(diff_no++);
        ver.layout = walker.layout();
      }
      int opcode2_at = p == 0 && v == 0 ? n / 2 + 1 : -1;
      int gap_at = p == opt.partitions - 1 && v == 0 ? n / 2 : -1;
      ver.packets = time.file(n, part.interval_ms, opcode2_at, gap_at);
      part.versions.push_back(std::move(ver));
    }
    walker.end_partition();
    part.name = partition_name(part.versions[0].packets[0].ts_ms);
    plan.partitions.push_back(std::move(part));
  }
}

/* The vector blocks each group needed in the walk just made: one past the
 * highest block any version placed a vector in. */
std::vector<int> slots_used(const RunPlan &plan) {
  std::vector<int> used(plan.groups.size(), 1);
  for (const PartitionPlan &part : plan.partitions)
    for (const VersionPlan &ver : part.versions)
      for (size_t g = 0; g < ver.layout.size(); g++)
        for (const VectorPlace &v : ver.layout[g]) {
          const GroupDef &gd = plan.groups[g];
          if (v.offset >= gd.start && gd.vector_bytes > 0)
            used[g] = std::max(used[g], (v.offset - gd.start) / gd.vector_bytes + 1);
        }
  return used;
}

}  // namespace

namespace {

/* Fills plan.slowdowns from the options: a slowdown names a vector listed in
 * a transaction group and starts at the first packet at or after its time. */
std::string resolve_slowdowns(RunPlan &plan) {
  const int64_t start_ms = plan.partitions.at(0).versions.at(0).packets.at(0).ts_ms;
  for (const Slowdown &s : plan.opt.slowdowns) {
    if (!(s.factor > 0)) return "--slowdown " + s.name + " needs a factor above 0";
    int64_t from_seq = INT64_MAX;
    for (const PartitionPlan &part : plan.partitions)
      for (const VersionPlan &v : part.versions)
        for (const PacketHead &h : v.packets)
          if (h.opcode == 1 && h.ts_ms - start_ms >= s.from_seconds * 1000)
            from_seq = std::min(from_seq, h.seq);
    size_t before = plan.slowdowns.size();
    for (size_t g = 0; g < plan.groups.size(); g++) {
      const GroupDef &gd = plan.groups[g];
      if (gd.hierarchy != "Transaction") continue;
      for (const std::string &name : gd.vectors)
        if (name == s.name)
          plan.slowdowns.push_back(
              {(int)g, vector_key(plan.opt.seed, (int)g, name), s.factor, from_seq});
    }
    if (plan.slowdowns.size() == before) return "--slowdown: no transaction '" + s.name + "'";
  }
  return "";
}

}  // namespace

bool apply_preset(const std::string &name, PlanOptions &o) {
  if (name == "small") {
    o.groups = 6, o.vectors = 4, o.graphs = 6, o.packets = 40, o.partitions = 3, o.versions = 3;
  } else if (name == "medium") {
    o.groups = 12, o.vectors = 20, o.graphs = 8, o.packets = 1500, o.partitions = 3, o.versions = 2;
  } else if (name == "large") {
    o.groups = 40, o.vectors = 40, o.graphs = 10, o.packets = 1000, o.partitions = 4,
    o.versions = 2;
  } else if (name == "wide") {
    /* Many groups and series, few packets: the fixed cost per group shows. */
    o.groups = 40, o.vectors = 25, o.graphs = 10, o.packets = 180, o.partitions = 3, o.versions = 2,
    o.tight_slots = true;
  } else {
    return false;
  }
  return true;
}

std::string build_plan(const PlanOptions &opt, RunPlan &plan) {
  std::string err = check_options(opt);
  if (!err.empty()) return err;
  plan = RunPlan();
  plan.opt = opt;
  plan.groups = fixed_groups(opt.vectors);
  for (int n = 1; n <= opt.groups - FIXED_GROUPS; n++)
    plan.groups.push_back(extra_group(n, opt.graphs, opt.vectors));
  plan.packet_size = lay_out_groups(plan.groups, 2 * opt.partitions * opt.versions + 2);
  walk_run(plan);
  if (opt.tight_slots) {
    /* The walk is deterministic: laid out with exactly the blocks it used,
     * the same walk fits again. */
    std::vector<int> used = slots_used(plan);
    plan.packet_size = lay_out_groups(plan.groups, 0, &used);
    walk_run(plan);
  }
  return resolve_slowdowns(plan);
}

int stored_rpt_id(int rpt_id) {
  static const std::map<int, int> remap = {{10294, 50}, {10469, 51}, {10506, 52},
                                           {10519, 53}, {10520, 54}, {10521, 55}};
  auto it = remap.find(rpt_id);
  return it == remap.end() ? rpt_id : it->second;
}

RptClass rpt_class(int id) {
  if (id >= 50 && id <= 55) return RptClass::Remapped;
  return id <= 1001 ? RptClass::BuiltIn : RptClass::HighId;
}

std::string stored_hierarchy(const GroupDef &g) {
  if (stored_rpt_id(g.rpt_id) > 1001) return g.hierarchy;
  return g.hierarchy == "-" ? "TestMetrics" : "TestMetrics>" + g.hierarchy;
}

std::string stored_vector_name(const GroupDef &g, const std::string &listed) {
  if (listed.empty()) return "VuvoRavu";
  return rpt_class(stored_rpt_id(g.rpt_id)) == RptClass::HighId ? listed : "VuvoRavu>" + listed;
}

std::string stored_graph_name(const GraphDef &gr) {
  std::string name = gr.name;
  size_t at = name.find("(Sec");
  if (gr.formula == "SEC" && at != std::string::npos) name = name.substr(0, at) + "(ms)";
  return name;
}

bool is_generator_vector(const GroupDef &g, const std::string &stored_name) {
  return stored_hierarchy(g).find("Controller>Generator") != std::string::npos &&
         stored_name.find("Controller>Overall") == std::string::npos;
}

}  // namespace sample_run
