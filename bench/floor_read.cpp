/*
 * floor_read.cpp - the floor of the migration benchmarks: reads every raw
 * sample file of a run made by make_sample_run and widens every element of
 * every active vector to a double (reserved integers to the missing marker),
 * with no graph definitions to parse and no store behind it. Nothing the tool
 * does per value can cost less than this loop.
 *
 * usage: floor_read WDIR TESTRUN PRESET [SEED [GROUPS VECTORS PACKETS]] (the
 * options the run was made with). Prints the files, packets and values it widened, the seconds
 * the loop took and a checksum of the values.
 */
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "orvtsdb_data_types.h"
#include "rtg_packet.h"
#include "sample_plan.h"
#include "sample_values.h"

using namespace sample_run;

namespace {

/* Where each widened element of one version lies in a packet. */
struct Element {
  int offset, width;
};

std::vector<Element> elements_of(const RunPlan &plan, const VersionPlan &v) {
  std::vector<Element> out;
  for (size_t g = 0; g < plan.groups.size(); g++)
    for (const VectorPlace &vp : v.layout[g]) {
      if (!vp.active) continue;
      int off = vp.offset;
      for (const GraphDef &gr : plan.groups[g].graphs)
        for (int e = 0; e < ORV_DATA_TYPES[gr.data_type].elements; e++) {
          int w = element_width(gr.data_type, e);
          out.push_back({off, w});
          off += w;
        }
    }
  return out;
}

/* A file's bytes, held in a block obtained as the tool obtains it (one
 * block for every file, grown only for a larger file; a large block asks
 * for transparent huge pages), so both pay the same for memory. */
struct FileData {
  unsigned char *bytes = nullptr;
  size_t capacity = 0;
  size_t size = 0;
  FileData() = default;
  FileData(const FileData &) = delete;
  FileData &operator=(const FileData &) = delete;
  ~FileData() { free(bytes); }
};

constexpr size_t kHugePage = 2u << 20;

/* Makes out's block at least `bytes` long; false when memory fails. */
bool reserve(FileData &out, size_t bytes) {
  if (bytes <= out.capacity) return true;
  free(out.bytes);
  out.bytes = nullptr;
  out.capacity = 0;
  void *p = nullptr;
  if (bytes < kHugePage) {
    p = malloc(bytes);
  } else if (posix_memalign(&p, kHugePage, bytes) == 0) {
    madvise(p, bytes, MADV_HUGEPAGE);
  }
  out.bytes = static_cast<unsigned char *>(p);
  if (p) out.capacity = bytes;
  return p != nullptr;
}

/* Reads a file whole with one read, as the tool does. Empty on failure. */
void read_whole(const std::string &path, FileData &out) {
  out.size = 0;
  int fd = open(path.c_str(), O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return;
  size_t bytes = (size_t)st.st_size + 1;
  if (reserve(out, bytes) && read(fd, out.bytes, bytes - 1) == (ssize_t)(bytes - 1))
    out.size = bytes - 1;
  close(fd);
}

struct Totals {
  long long files = 0, packets = 0, values = 0;
  double sum = 0;
};

/* Widens packets 1.. of one file into `row`, one value per element. */
void widen_file(const FileData &data, int packet_size, const std::vector<Element> &elems,
                std::vector<double> &row, Totals &t) {
  size_t packets = data.size / (size_t)packet_size;
  for (size_t k = 1; k < packets; k++) {
    const unsigned char *pkt = data.bytes + k * (size_t)packet_size;
    double opcode;
    memcpy(&opcode, pkt, 8);
    if ((int)opcode == 2) continue;
    for (size_t i = 0; i < elems.size(); i++)
      row[i] = rtg_widen(reinterpret_cast<const char *>(pkt) + elems[i].offset, elems[i].width);
    t.sum += row[elems.size() / 2];
    t.values += (long long)elems.size();
    t.packets++;
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: floor_read WDIR TESTRUN PRESET [SEED [GROUPS VECTORS PACKETS]]\n");
    return 2;
  }
  PlanOptions opt;
  opt.testrun = atoi(argv[2]);
  if (!apply_preset(argv[3], opt)) return fprintf(stderr, "unknown preset %s\n", argv[3]), 2;
  if (argc > 4) opt.seed = strtoull(argv[4], nullptr, 10);
  if (argc > 7) {
    opt.groups = atoi(argv[5]);
    opt.vectors = atoi(argv[6]);
    opt.packets = atoi(argv[7]);
  }
  RunPlan plan;
  std::string err = build_plan(opt, plan);
  if (!err.empty()) return fprintf(stderr, "%s\n", err.c_str()), 2;
  std::string run = std::string(argv[1]) + "/logs/TR" + argv[2];
  auto t0 = std::chrono::steady_clock::now();
  Totals t;
  FileData data;
  for (const PartitionPlan &part : plan.partitions)
    for (const VersionPlan &v : part.versions) {
      std::string suffix = v.number ? "." + std::to_string(v.number) : "";
      read_whole(run + "/" + part.name + "/rtgMessage.dat" + suffix, data);
      if (data.size == 0) return fprintf(stderr, "cannot read %s\n", part.name.c_str()), 1;
      std::vector<Element> elems = elements_of(plan, v);
      std::vector<double> row(elems.size());
      widen_file(data, plan.packet_size, elems, row, t);
      t.files++;
    }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  printf("files %lld packets %lld values %lld seconds %.4f values/s %.0f checksum %.6g\n", t.files,
         t.packets, t.values, secs, t.values / secs, t.sum);
  return 0;
}
