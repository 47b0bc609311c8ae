/*
 * run_writer.cpp - the files of a sample run; see run_writer.h.
 *
 * Graph definition lines follow the tool's reader: "Info|" with the packet
 * size in field 5 and the interval (ms) in field 6; 9-field Group lines;
 * 14-field Graph lines whose field 5 is the graph's byte offset (the first
 * one is the group's block start); vector lines of one token (the tool lays
 * the vector out) or two (name and offset; "#-" deletes). A diff repeats the
 * Info line and, for each group it changes, the Group line and the changed
 * vectors. Raw sample files are written packet by packet through one buffer.
 */
#include "run_writer.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "orvtsdb_data_types.h"
#include "sample_values.h"

namespace fs = std::filesystem;

namespace sample_run {

namespace {

const char *type_text(bool vector) { return vector ? "vector" : "scalar"; }

std::string info_line(const RunPlan &plan, const PartitionPlan &part, const VersionPlan &v) {
  int graphs = 0;
  for (const GroupDef &g : plan.groups) graphs += (int)g.graphs.size();
  return "Info|" + std::to_string(plan.opt.testrun) + "|" + std::to_string(v.number) + "|" +
         std::to_string(plan.groups.size()) + "|" + std::to_string(graphs) + "|" +
         std::to_string(plan.packet_size) + "|" + std::to_string(part.interval_ms) + "|" +
         std::to_string(v.packets[0].ts_ms) + "\n";
}

std::string group_line(const GroupDef &g, int listed) {
  return "Group|" + g.name + "|" + std::to_string(g.rpt_id) + "|" + type_text(g.vector_group) +
         "|" + std::to_string(g.graphs.size()) + "|" + std::to_string(listed) + "|" + g.metric +
         "|" + g.hierarchy + "|" + g.desc + "\n";
}

std::string graph_lines(const GroupDef &g, int gidx, int listed) {
  std::string out;
  int off = g.start;
  for (size_t j = 0; j < g.graphs.size(); j++) {
    const GraphDef &gr = g.graphs[j];
    const orv_data_type_t &d = ORV_DATA_TYPES[gr.data_type];
    out += "Graph|" + gr.name + "|" + std::to_string((gidx + 1) * 100 + (int)j + 1) + "|" +
           type_text(g.vector_group) + "|" + d.name + "|" + std::to_string(off) + "|" + gr.formula +
           "|-|0|" + std::to_string(listed) + "|-|" + (j % 3 ? "M" : "H") + "|NA|" + gr.name +
           " per sample\n";
    off += graph_width(gr.data_type);
  }
  return out;
}

int listed_count(const std::vector<VectorPlace> &vs) {
  int n = 0;
  for (const VectorPlace &v : vs) n += v.active && !v.name.empty();
  return n;
}

std::string full_gdf(const RunPlan &plan, const PartitionPlan &part, const VersionPlan &v) {
  std::string out = info_line(plan, part, v);
  for (size_t g = 0; g < plan.groups.size(); g++) {
    const GroupDef &gd = plan.groups[g];
    int listed = listed_count(v.layout[g]);
    out += group_line(gd, listed) + graph_lines(gd, (int)g, listed);
    for (const VectorPlace &vp : v.layout[g]) {
      if (vp.name.empty()) continue;
      out += vp.name;
      out += gd.one_token ? "\n" : " " + std::to_string(vp.offset) + "\n";
    }
  }
  return out;
}

std::string diff_gdf(const RunPlan &plan, const PartitionPlan &part, const VersionPlan &v) {
  std::string out = info_line(plan, part, v);
  for (size_t g = 0; g < plan.groups.size(); g++) {
    bool header = false;
    for (const VectorEvent &e : v.events) {
      if (e.group != (int)g) continue;
      if (!header) out += group_line(plan.groups[g], listed_count(v.layout[g]));
      header = true;
      out += (e.kind == EventKind::Delete ? "#-" : "") + e.name + " " + std::to_string(e.offset) +
             "\n";
    }
  }
  return out;
}

/* Where one graph of one active vector goes in every packet of a version. */
struct Placement {
  int group, graph, offset;
  uint64_t vkey;
};

std::vector<Placement> placements(const RunPlan &plan, const VersionPlan &v) {
  std::vector<Placement> out;
  for (size_t g = 0; g < plan.groups.size(); g++)
    for (const VectorPlace &vp : v.layout[g]) {
      if (!vp.active) continue;
      int off = vp.offset;
      uint64_t key = vector_key(plan.opt.seed, (int)g, vp.name);
      for (size_t j = 0; j < plan.groups[g].graphs.size(); j++) {
        out.push_back({(int)g, (int)j, off, key});
        off += graph_width(plan.groups[g].graphs[j].data_type);
      }
    }
  return out;
}

/* Fills one packet; returns the number of values written. */
int64_t fill_packet(const RunPlan &plan, const std::vector<Placement> &where, const PacketHead &h,
                    std::vector<unsigned char> &buf) {
  std::fill(buf.begin(), buf.end(), 0);
  double head[3] = {(double)h.opcode, (double)h.seq, (double)h.ts_ms};
  memcpy(&buf[0], &head[0], 8);
  memcpy(&buf[24], &head[1], 8);
  memcpy(&buf[40], &head[2], 8);
  if (h.opcode == 2) return 0;
  int64_t values = 0;
  RawElem raw[ORV_MAX_ELEMENTS_PER_GRAPH];
  for (const Placement &p : where) {
    int type = plan.groups[p.group].graphs[p.graph].data_type;
    raw_graph_values(plan, p.group, p.graph, p.vkey, h.seq, raw);
    unsigned char *dst = &buf[p.offset];
    for (int e = 0; e < ORV_DATA_TYPES[type].elements; e++) {
      int w = element_width(type, e);
      encode_element(dst, w, raw[e]);
      dst += w;
    }
    values += ORV_DATA_TYPES[type].elements;
  }
  return values;
}

std::string write_text(const std::string &path, const std::string &text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
  return f.good() ? "" : "cannot write " + path;
}

std::string write_rtg(const RunPlan &plan, const VersionPlan &v, const std::string &path,
                      WriteStats &st) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return "cannot create " + path;
  std::vector<unsigned char> buf(plan.packet_size);
  std::vector<Placement> where = placements(plan, v);
  for (const PacketHead &h : v.packets) {
    int64_t n = fill_packet(plan, where, h, buf);
    if (h.seq && h.opcode != 2) st.values += n;  // packet 0 is never imported
    fwrite(buf.data(), 1, buf.size(), f);
  }
  bool ok = fclose(f) == 0;
  int64_t bytes = (int64_t)v.packets.size() * plan.packet_size;
  st.packets += (int64_t)v.packets.size();
  st.bytes += bytes;
  st.files++;
  if (bytes > st.largest_rtg) st.largest_rtg = bytes, st.largest_rtg_path = path;
  return ok ? "" : "cannot write " + path;
}

std::string local_time(int64_t sec, const char *fmt) {
  time_t t = (time_t)sec;
  struct tm tm;
  localtime_r(&t, &tm);
  char buf[64];
  strftime(buf, sizeof buf, fmt, &tm);
  return buf;
}

std::string summary_top(const RunPlan &plan) {
  int64_t start = plan.opt.start_epoch;
  int64_t end = plan.partitions.back().versions.back().packets.back().ts_ms / 1000;
  int64_t dur = end - start;
  char duration[64];
  snprintf(duration, sizeof duration, "%02d:%02d:%02d", (int)(dur / 3600), (int)(dur % 3600 / 60),
           (int)(dur % 60));
  std::string f[26] = {std::to_string(plan.opt.testrun),
                       "sample_scenario",
                       local_time(start, "%m/%d/%y %H:%M:%S"),
                       "1",
                       "0",
                       "1",
                       "1",
                       "0",
                       "1",
                       "0",
                       "0",
                       "2",
                       "Sample Load Test",
                       "FCU",
                       duration,
                       "500",
                       std::to_string(start),
                       std::to_string(start),
                       std::to_string(dur),
                       std::to_string(plan.opt.interval_ms),
                       "0",
                       "2:2",
                       "0",
                       "All:1",
                       "NA",
                       "NA"};
  std::string line;
  for (int i = 0; i < 26; i++) line += (i ? "|" : "") + f[i];
  return line + "\n";
}

std::string scenario_conf(const RunPlan &plan) {
  return "ENABLE_AUTO_RUN 0\n"
         "NUM_USERS 500\n"
         "PROGRESS_MSECS " +
         std::to_string(plan.opt.interval_ms) +
         "\n"
         "RAMP_UP_MODE LINEAR 60\n"
         "SHOW_GROUP_DATA 0\n"
         "TW_GENERATOR 2\n";
}

std::string write_partition(const RunPlan &plan, const PartitionPlan &part, const std::string &dir,
                            WriteStats &st) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) return "cannot create " + dir + ": " + ec.message();
  for (const VersionPlan &v : part.versions) {
    std::string suffix = v.number ? "." + std::to_string(v.number) : "";
    std::string gdf = v.number ? diff_gdf(plan, part, v) : full_gdf(plan, part, v);
    std::string gdf_path = dir + (v.number ? "/testrun.gdf.diff" : "/testrun.gdf") + suffix;
    std::string err = write_text(gdf_path, gdf);
    if (err.empty()) err = write_rtg(plan, v, dir + "/rtgMessage.dat" + suffix, st);
    if (!err.empty()) return err;
  }
  return "";
}

}  // namespace

std::string write_run(const RunPlan &plan, const std::string &wdir, WriteStats &st) {
  std::string run = wdir + "/logs/TR" + std::to_string(plan.opt.testrun);
  for (const PartitionPlan &part : plan.partitions) {
    std::string err = write_partition(plan, part, run + "/" + part.name, st);
    if (!err.empty()) return err;
  }
  std::string err = write_text(run + "/summary.top", summary_top(plan));
  return err.empty() ? write_text(run + "/sorted_scenario.conf", scenario_conf(plan)) : err;
}

}  // namespace sample_run
