/*
 * main.cpp - make_sample_run: writes a realistic, valid load-test run into a
 * work directory for the migration tool, and says what the store must hold
 * once the run is migrated.
 *
 * Exit status 0 on success, 2 on a usage error, 1 when writing fails.
 */
#include <getopt.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "expected_store.h"
#include "run_writer.h"
#include "sample_plan.h"

using namespace sample_run;

namespace {

const char USAGE[] =
    "usage: make_sample_run [options]\n"
    "Writes a sample test run into <wdir>/logs/TR<n>: partitions of graph definition\n"
    "versions (testrun.gdf, testrun.gdf.diff.N) with their raw sample files\n"
    "(rtgMessage.dat, rtgMessage.dat.N), summary.top and sorted_scenario.conf.\n"
    "\n"
    "  --wdir DIR          work directory (default: $TW_WDIR)\n"
    "  --testrun N         test run number (default 1234)\n"
    "  --preset NAME       small, medium, large or wide; later options override it\n"
    "  --groups N          groups, at least 5 (5 fixed ones + extra server groups)\n"
    "  --vectors N         vectors per vector group in the first partition\n"
    "  --graphs N          graphs per extra server group\n"
    "  --packets N         sample packets per raw sample file\n"
    "  --interval MS       sampling interval in ms (partition 2 always uses 5000)\n"
    "  --partitions N      partitions\n"
    "  --versions N        graph definition versions per partition\n"
    "  --seed N            seed of the values\n"
    "  --noise-seed N      seed of the per-sample noise only (autocorrelated, lag-one\n"
    "                      correlation 0.9): runs with one --seed and different noise\n"
    "                      seeds are runs of one system that differ by noise alone\n"
    "  --slowdown NAME=FACTOR[@SECONDS]\n"
    "                      multiply the response times (avg, min, max) of transaction\n"
    "                      NAME by FACTOR from SECONDS after the start (default 0);\n"
    "                      repeatable\n"
    "  --start EPOCH       time of the first packet, seconds (default 1709542800)\n"
    "  --full-doubles FRACTION\n"
    "                      share (0 to 1) of the double-typed graphs of the vectors\n"
    "                      whose values keep full precision, as computed averages\n"
    "                      and rates do, instead of three decimals (default 0)\n"
    "  --noise-scale F     multiply the spread of the response times' noise around\n"
    "                      their level by F (0 to 2.5, default 1): runs that differ in\n"
    "                      noise only\n"
    "  --expect FILE       write the rows the store must hold after a migration\n"
    "  --with-generators   model a migration with the tool's -G option\n"
    "  --help              this text\n"
    "\n"
    "The expected rows are tab-separated: time, group, series labels, graph, role,\n"
    "value (\"missing\" for a missing sample).\n";

struct Args {
  PlanOptions plan;
  std::string wdir, expect;
  bool generators = false;
};

enum {
  O_WDIR = 1,
  O_TR,
  O_PRESET,
  O_GROUPS,
  O_VECTORS,
  O_GRAPHS,
  O_PACKETS,
  O_INTERVAL,
  O_PARTS,
  O_VERSIONS,
  O_SEED,
  O_NOISE_SEED,
  O_SLOWDOWN,
  O_START,
  O_FULL_DOUBLES,
  O_NOISE_SCALE,
  O_EXPECT,
  O_GEN,
  O_HELP
};

[[noreturn]] void usage_error(const std::string &msg) {
  fprintf(stderr, "make_sample_run: %s\n%s", msg.c_str(), USAGE);
  exit(2);
}

long long number(const char *text, const char *name) {
  char *end = nullptr;
  long long v = strtoll(text, &end, 10);
  if (!*text || *end) usage_error(std::string("--") + name + " needs a number, not '" + text + "'");
  return v;
}

/* A share from 0 to 1. */
double fraction(const char *text, const char *name) {
  char *end = nullptr;
  double v = strtod(text, &end);
  if (!*text || *end || !(v >= 0 && v <= 1))
    usage_error(std::string("--") + name + " needs a number from 0 to 1, not '" + text + "'");
  return v;
}

/* NAME=FACTOR[@SECONDS] of --slowdown. */
Slowdown slowdown(const std::string &text) {
  size_t eq = text.rfind('='), at = text.find('@', eq == std::string::npos ? 0 : eq);
  Slowdown s;
  char *end = nullptr;
  if (eq == std::string::npos || eq == 0) usage_error("--slowdown needs NAME=FACTOR[@SECONDS]");
  s.name = text.substr(0, eq);
  std::string factor = text.substr(eq + 1, at == std::string::npos ? at : at - eq - 1);
  s.factor = strtod(factor.c_str(), &end);
  if (factor.empty() || *end || !(s.factor > 0))
    usage_error("--slowdown needs a factor above 0, not '" + factor + "'");
  if (at != std::string::npos) s.from_seconds = number(text.c_str() + at + 1, "slowdown");
  return s;
}

void set_option(Args &a, int opt, const char *name) {
  switch (opt) {
    case O_WDIR: a.wdir = optarg; break;
    case O_TR: a.plan.testrun = (int)number(optarg, name); break;
    case O_PRESET:
      if (!apply_preset(optarg, a.plan))
        usage_error(std::string("unknown preset '") + optarg + "'");
      break;
    case O_GROUPS: a.plan.groups = (int)number(optarg, name); break;
    case O_VECTORS: a.plan.vectors = (int)number(optarg, name); break;
    case O_GRAPHS: a.plan.graphs = (int)number(optarg, name); break;
    case O_PACKETS: a.plan.packets = (int)number(optarg, name); break;
    case O_INTERVAL: a.plan.interval_ms = (int)number(optarg, name); break;
    case O_PARTS: a.plan.partitions = (int)number(optarg, name); break;
    case O_VERSIONS: a.plan.versions = (int)number(optarg, name); break;
    case O_SEED: a.plan.seed = (uint64_t)number(optarg, name); break;
    case O_NOISE_SEED:
      a.plan.has_noise_seed = true;
      a.plan.noise_seed = (uint64_t)number(optarg, name);
      break;
    case O_SLOWDOWN: a.plan.slowdowns.push_back(slowdown(optarg)); break;
    case O_START: a.plan.start_epoch = number(optarg, name); break;
    case O_FULL_DOUBLES: a.plan.full_doubles = fraction(optarg, name); break;
    case O_NOISE_SCALE: {
      char *end = nullptr;
      a.plan.noise_scale = strtod(optarg, &end);
      if (!*optarg || *end || !(a.plan.noise_scale >= 0 && a.plan.noise_scale <= 2.5))
        usage_error(std::string("--noise-scale needs a number from 0 to 2.5, not '") + optarg +
                    "'");
      break;
    }
    case O_EXPECT: a.expect = optarg; break;
    case O_GEN: a.generators = true; break;
    case O_HELP: fputs(USAGE, stdout); exit(0);
    default: usage_error("unknown option");
  }
}

Args parse(int argc, char **argv) {
  static const option opts[] = {{"wdir", 1, 0, O_WDIR},
                                {"testrun", 1, 0, O_TR},
                                {"preset", 1, 0, O_PRESET},
                                {"groups", 1, 0, O_GROUPS},
                                {"vectors", 1, 0, O_VECTORS},
                                {"graphs", 1, 0, O_GRAPHS},
                                {"packets", 1, 0, O_PACKETS},
                                {"interval", 1, 0, O_INTERVAL},
                                {"partitions", 1, 0, O_PARTS},
                                {"versions", 1, 0, O_VERSIONS},
                                {"seed", 1, 0, O_SEED},
                                {"noise-seed", 1, 0, O_NOISE_SEED},
                                {"slowdown", 1, 0, O_SLOWDOWN},
                                {"start", 1, 0, O_START},
                                {"full-doubles", 1, 0, O_FULL_DOUBLES},
                                {"noise-scale", 1, 0, O_NOISE_SCALE},
                                {"expect", 1, 0, O_EXPECT},
                                {"with-generators", 0, 0, O_GEN},
                                {"help", 0, 0, O_HELP},
                                {0, 0, 0, 0}};
  Args a;
  int opt, idx = 0;
  while ((opt = getopt_long(argc, argv, "", opts, &idx)) != -1)
    set_option(a, opt, opt > 0 && opt <= O_HELP ? opts[opt - 1].name : "?");
  if (optind < argc) usage_error(std::string("unexpected argument '") + argv[optind] + "'");
  if (a.wdir.empty() && getenv("TW_WDIR")) a.wdir = getenv("TW_WDIR");
  if (a.wdir.empty()) usage_error("no work directory: give --wdir or set TW_WDIR");
  return a;
}

void print_row(FILE *f, const ExpectedRow &r) {
  fprintf(f, "%lld\t%s\t%s\t%s\t%s\t", (long long)r.time, r.group->c_str(), r.labels->c_str(),
          r.graph->c_str(), r.role);
  if (r.value == MISSING)
    fputs("missing\n", f);
  else
    fprintf(f, "%.17g\n", r.value);
}

/* Runs the model of a whole-run migration, writing the rows when asked. */
bool expect(const RunPlan &plan, const Args &a, ExpectedTotals &t) {
  FILE *f = nullptr;
  if (!a.expect.empty() && !(f = fopen(a.expect.c_str(), "w"))) {
    fprintf(stderr, "make_sample_run: cannot write %s\n", a.expect.c_str());
    return false;
  }
  if (f) fputs("# time\tgroup\tseries\tgraph\trole\tvalue\n", f);
  RowSink sink;
  if (f) sink = [f](const ExpectedRow &r) { print_row(f, r); };
  t = expect_migration(plan, 0, (int)plan.partitions.size() - 1, a.generators, sink);
  return !f || fclose(f) == 0;
}

void report(const RunPlan &plan, const Args &a, const WriteStats &w, const ExpectedTotals &t) {
  int graphs = 0, vectors = 0;
  for (const GroupDef &g : plan.groups) graphs += (int)g.graphs.size();
  for (const auto &vs : plan.partitions[0].versions[0].layout) vectors += (int)vs.size();
  printf("wrote TR%d in %s/logs/TR%d\n", plan.opt.testrun, a.wdir.c_str(), plan.opt.testrun);
  printf("  partitions   %zu:", plan.partitions.size());
  for (const PartitionPlan &p : plan.partitions) printf(" %s", p.name.c_str());
  printf("\n  versions     %d per partition, packet size %d bytes\n", plan.opt.versions,
         plan.packet_size);
  printf("  groups       %zu, graphs %d, vectors %d in the first partition\n", plan.groups.size(),
         graphs, vectors);
  printf("  raw files    %lld, packets %lld, values %lld, %lld bytes, largest %lld bytes (%s)\n",
         (long long)w.files, (long long)w.packets, (long long)w.values, (long long)w.bytes,
         (long long)w.largest_rtg, w.largest_rtg_path.c_str());
  printf(
      "  expected     samples inserted %lld, missing samples %lld, store values %lld "
      "(%lld missing), series %lld, times %lld..%lld\n",
      (long long)t.inserts, (long long)t.missing_steps, (long long)t.rows,
      (long long)t.missing_rows, (long long)t.series, (long long)t.start_time,
      (long long)t.end_time);
  printf(
      "  store        inserts %lld (%lld flushed by deleted vectors, %lld generator vectors "
      "left out)\n",
      (long long)t.store_inserts, (long long)t.flushes, (long long)t.left_out);
  if (!a.expect.empty()) printf("  expected rows written to %s\n", a.expect.c_str());
}

}  // namespace

int main(int argc, char **argv) {
  Args a = parse(argc, argv);
  RunPlan plan;
  std::string err = build_plan(a.plan, plan);
  if (!err.empty()) usage_error(err);
  WriteStats w;
  err = write_run(plan, a.wdir, w);
  if (!err.empty()) {
    fprintf(stderr, "make_sample_run: %s\n", err.c_str());
    return 1;
  }
  ExpectedTotals t;
  if (!expect(plan, a, t)) return 1;
  report(plan, a, w, t);
  return 0;
}
