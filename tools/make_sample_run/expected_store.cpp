/*
 * expected_store.cpp - the model of a migration; see expected_store.h.
 *
 * State mirrors what the migration keeps: the clock, the sampling frequency
 * and merge count of the version being read, the last sequence number and
 * packet time, and per vector its store state (0 new, 1 created, 255 left
 * out), its current values and, per graph, the merge window's count and
 * whether its minimum has been set.
 */
#include "expected_store.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <vector>

#include "orvtsdb_data_types.h"
#include "sample_values.h"

namespace sample_run {

namespace {

struct VecState {
  bool active = true;
  int state = 0;
  uint64_t key = 0;
  std::string labels;
  std::string stored_name;
  std::vector<double> data;
  std::vector<int> count;
  std::vector<char> min_set;
};

struct GroupInfo {
  std::vector<int> first; /* first element of each graph */
  std::vector<std::string> graph_names;
  std::vector<std::string> hier;
  int elements = 0;
};

std::vector<std::string> split_gt(const std::string &s) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i <= s.size()) {
    size_t j = s.find('>', i);
    if (j == std::string::npos) j = s.size();
    if (j > i) out.push_back(s.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

/* The series labels the tool builds from the hierarchy and the vector name. */
std::string labels_of(const std::vector<std::string> &hier, const std::string &name) {
  std::vector<std::string> vf = split_gt(name);
  std::string out = "customer=Default,application=Default";
  for (size_t i = 0; i < hier.size(); i++)
    out += "," + hier[i] + "=" + (i < vf.size() ? vf[i] : "Default");
  return out;
}

bool is_count_role(int type, int e) {
  const char *r = ORV_FAMILY_ROLES[ORV_DATA_TYPES[type].family][e];
  return r && std::string(r) == "count";
}

class Model {
 public:
  Model(const RunPlan &plan, bool gen, const RowSink &sink) : plan_(plan), gen_(gen), sink_(sink) {
    for (const GroupDef &g : plan.groups) info_.push_back(group_info(g));
  }

  ExpectedTotals run(int first, int last) {
    clock_ = plan_.partitions[first].versions[0].packets[0].ts_ms / 1000;
    t_.start_time = clock_;
    for (int p = first; p <= last; p++) {
      partition(plan_.partitions[p]);
      switched_ = true;
    }
    t_.series = (int64_t)series_.size();
    return t_;
  }

 private:
  static GroupInfo group_info(const GroupDef &g) {
    GroupInfo gi;
    for (const GraphDef &gr : g.graphs) {
      gi.first.push_back(gi.elements);
      gi.elements += ORV_DATA_TYPES[gr.data_type].elements;
      gi.graph_names.push_back(stored_graph_name(gr));
    }
    gi.hier = split_gt(stored_hierarchy(g));
    return gi;
  }

  void partition(const PartitionPlan &part) {
    vecs_.assign(plan_.groups.size(), {});
    prev_seq_ = 0;
    pending_open_ = true;
    for (size_t g = 0; g < plan_.groups.size(); g++)
      for (const VectorPlace &v : part.versions[0].layout[g]) add_vector((int)g, v.name);
    for (const VersionPlan &v : part.versions) version(part, v);
  }

  void add_vector(int g, const std::string &name) {
    VecState &vs = vecs_[g][name];
    vs = VecState();
    vs.key = vector_key(plan_.opt.seed, g, name);
    vs.stored_name = stored_vector_name(plan_.groups[g], name);
    vs.labels = labels_of(info_[g].hier, vs.stored_name);
    size_t graphs = plan_.groups[g].graphs.size();
    vs.data.assign(info_[g].elements, 0.0);
    vs.count.assign(graphs, 0);
    vs.min_set.assign(graphs, 0);
  }

  void version(const PartitionPlan &part, const VersionPlan &v) {
    frequency_rule(part.interval_ms);
    std::vector<VectorEvent> ev = v.events;  // the diff lists them group by group
    std::stable_sort(ev.begin(), ev.end(),
                     [](const VectorEvent &a, const VectorEvent &b) { return a.group < b.group; });
    for (const VectorEvent &e : ev) event(e);
    for (size_t k = 1; k < v.packets.size(); k++) packet(v, k);
  }

  void frequency_rule(int interval_ms) {
    static const int grans[] = {1, 10, 60, 600, 3600, 14400, 86400};
    int s = interval_ms / 1000;
    if (std::find(std::begin(grans), std::end(grans), s) != std::end(grans)) {
      merge_count_ = 1, merged_ = false, freq_ = s;
      return;
    }
    for (int i = 1; i < 7; i++)
      if (s < grans[i]) {
        merge_count_ = grans[i] / s, merged_ = true, freq_ = grans[i];
        return;
      }
  }

  void event(const VectorEvent &e) {
    switch (e.kind) {
      case EventKind::Add: add_vector(e.group, e.name); break;
      case EventKind::Move: break;  // values follow the vector, not its place
      case EventKind::Readd: vecs_[e.group][e.name].active = true; break;
      case EventKind::Delete: {
        VecState &vs = vecs_[e.group][e.name];
        if (vs.state == 1) {  // last values flushed, then the series ends
          t_.flushes++;
          emit(e.group, vs);
        }
        vs.state = 0;
        vs.active = false;
      }
    }
  }

  void packet(const VersionPlan &v, size_t k) {
    const PacketHead &h = v.packets[k];
    if (h.opcode == 2) return;
    int64_t r = h.seq % merge_count_;
    bool closing = r == 0, opening = r == 1 || pending_open_;
    if (k != 1 && h.seq - prev_seq_ > 1) steps(h.seq - prev_seq_);
    if (k == 1 && switched_ && prev_ts_ != 0.0) {
      double q = ((double)h.ts_ms - prev_ts_) / (double)(freq_ * 1000);
      if (q > 1.0) steps((int64_t)std::ceil(q));
    }
    t_.end_time = h.ts_ms / 1000;
    if (k == v.packets.size() - 1) prev_ts_ = (double)h.ts_ms;
    for (size_t g = 0; g < plan_.groups.size(); g++)
      for (auto &[name, vs] : vecs_[g]) vector_packet((int)g, vs, h.seq, opening, closing);
    if (closing) clock_ += freq_;
    prev_seq_ = h.seq;
    pending_open_ = closing;
  }

  void steps(int64_t n) {
    clock_ += n * freq_;
    t_.missing_steps += n;
  }

  void vector_packet(int g, VecState &vs, int64_t seq, bool opening, bool closing) {
    if (!vs.active) return;
    if (vs.state == 0) {
      std::fill(vs.data.begin(), vs.data.end(), 0.0);
      std::fill(vs.count.begin(), vs.count.end(), 0);
      std::fill(vs.min_set.begin(), vs.min_set.end(), 0);
    }
    for (size_t j = 0; j < plan_.groups[g].graphs.size(); j++) {
      RawElem raw[ORV_MAX_ELEMENTS_PER_GRAPH];
      raw_graph_values(plan_, g, (int)j, vs.key, seq, raw);
      double f[ORV_MAX_ELEMENTS_PER_GRAPH];
      for (int e = 0; e < ORV_MAX_ELEMENTS_PER_GRAPH; e++)
        f[e] = raw[e].missing ? MISSING : raw[e].v;
      if (merged_)
        merge_graph(g, vs, (int)j, f, opening, closing);
      else
        plain_graph(g, vs, (int)j, f);
    }
    if (closing && vs.state != 255) insert(g, vs);
  }

  double formula(const GraphDef &gr, double v) const {
    if (v == MISSING) return v;
    if (gr.formula == "KBPS") return v * 8.0 / (double)(freq_ * 1024);
    if (gr.formula == "DBH") return v / 100.0;
    return v;
  }

  /* Divides the scale out of every role but the count. */
  void scale(const GraphDef &gr, double *d) const {
    const orv_data_type_t &t = ORV_DATA_TYPES[gr.data_type];
    for (int e = 0; e < t.elements; e++)
      if (t.scale && d[e] != MISSING && !is_count_role(gr.data_type, e)) d[e] /= t.scale;
  }

  void plain_graph(int g, VecState &vs, int j, const double *f) {
    const GraphDef &gr = plan_.groups[g].graphs[j];
    double *d = &vs.data[info_[g].first[j]];
    for (int e = 0; e < ORV_DATA_TYPES[gr.data_type].elements; e++) d[e] = formula(gr, f[e]);
    scale(gr, d);
  }

  void merge_graph(int g, VecState &vs, int j, const double *f, bool opening, bool closing) {
    const GraphDef &gr = plan_.groups[g].graphs[j];
    double *d = &vs.data[info_[g].first[j]];
    switch (ORV_DATA_TYPES[gr.data_type].family) {
      case ORV_FAMILY_SINGLE: merge_single(gr, d, vs.count[j], f, opening, closing); break;
      case ORV_FAMILY_CUMULATIVE:
        if (opening) d[0] = f[0];
        if (f[0] != MISSING) d[0] = formula(gr, f[0]);
        break;
      case ORV_FAMILY_VALUE_COUNT: merge_value_count(gr, d, f, opening, closing); break;
      default: merge_times(gr, d, vs.min_set[j], f, opening, closing);
    }
  }

  void merge_single(const GraphDef &gr, double *d, int &n, const double *f, bool opening,
                    bool closing) {
    if (opening) d[0] = 0, n = 0;
    if (f[0] != MISSING) d[0] += f[0], n++;
    if (!closing) return;
    if (d[0] == 0.0) {
      d[0] = MISSING;
      return;
    }
    d[0] /= n;
    scale(gr, d);
    d[0] = formula(gr, d[0]);
  }

  void merge_value_count(const GraphDef &gr, double *d, const double *f, bool opening,
                         bool closing) {
    if (opening) d[0] = d[1] = 0;
    if (f[1] != MISSING && f[1] != 0) d[0] += f[1] * f[0], d[1] += f[1];
    if (!closing) return;
    if (d[1] == 0) {
      d[0] = d[1] = MISSING;
      return;
    }
    scale(gr, d);
    d[0] = formula(gr, d[0] / d[1]);
  }

  /* Times families: avg, min, max, count (, fifth summed). */
  void merge_times(const GraphDef &gr, double *d, char &min_set, const double *f, bool opening,
                   bool closing) {
    int n = ORV_DATA_TYPES[gr.data_type].elements;
    if (opening) {
      std::fill(d, d + n, 0.0);
      min_set = 0;
    }
    if (f[3] != MISSING && f[3] != 0) {
      d[0] += f[3] * f[0];
      if (!min_set || f[1] <= d[1]) d[1] = f[1], min_set = 1;
      if (d[2] <= f[2]) d[2] = f[2];
      d[3] += f[3];
      if (n == 5) d[4] += f[4];
    }
    if (!closing) return;
    if (d[3] == 0) {
      std::fill(d, d + n, MISSING);
      return;
    }
    d[0] /= d[3];
    scale(gr, d);
    for (int e = 0; e < n; e++)
      if (e != 3) d[e] = formula(gr, d[e]);
  }

  void insert(int g, VecState &vs) {
    t_.inserts++;
    if (vs.state == 0) {
      if (!gen_ && is_generator_vector(plan_.groups[g], vs.stored_name)) {
        vs.state = 255;
        t_.left_out++;
        return;
      }
      vs.state = 1;
    }
    emit(g, vs);
  }

  void emit(int g, const VecState &vs) {
    t_.store_inserts++;
    series_.insert(plan_.groups[g].name + "|" + vs.labels);
    const GroupDef &gd = plan_.groups[g];
    for (size_t j = 0; j < gd.graphs.size(); j++) {
      int type = gd.graphs[j].data_type;
      for (int e = 0; e < ORV_DATA_TYPES[type].elements; e++) {
        double v = vs.data[info_[g].first[j] + e];
        ExpectedRow row{clock_,
                        &gd.name,
                        &vs.labels,
                        &info_[g].graph_names[j],
                        ORV_FAMILY_ROLES[ORV_DATA_TYPES[type].family][e],
                        v};
        t_.rows++;
        t_.missing_rows += v == MISSING;
        if (sink_) sink_(row);
      }
    }
  }

  const RunPlan &plan_;
  bool gen_;
  const RowSink &sink_;
  std::vector<GroupInfo> info_;
  std::vector<std::map<std::string, VecState>> vecs_;
  std::set<std::string> series_;
  ExpectedTotals t_;
  int64_t clock_ = 0;
  int freq_ = -1, merge_count_ = -1;
  bool merged_ = false, switched_ = false, pending_open_ = true;
  int64_t prev_seq_ = 0;
  double prev_ts_ = 0.0;
};

}  // namespace

ExpectedTotals expect_migration(const RunPlan &plan, int first, int last, bool include_generators,
                                const RowSink &sink) {
  Model m(plan, include_generators, sink);
  return m.run(first, last);
}

}  // namespace sample_run
