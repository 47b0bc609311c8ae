/*
 * fuzz_graph_definitions.cpp - libFuzzer harness of the graph definition
 * reader: the input is the text of a partition's graph definition versions,
 * read exactly as a migration reads them, each version followed by the
 * partition's fixed raw sample file, so definitions that lay out their
 * blocks wrongly reach the sample decoder too.
 *
 * Input: testrun.gdf, then optionally a line "@@" and testrun.gdf.diff.1,
 * another "@@" and testrun.gdf.diff.2. Version 0 is paired with the fixture's
 * rtgMessage.dat, later versions with its rtgMessage.dat.1.
 */
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <string_view>

#include "harness_support.h"
#include "vira_zedazad_uvoz_izu.h"

namespace {

constexpr int kMaxVersions = 3;
constexpr std::string_view kVersionBreak = "\n@@\n";

/* Paths of version n in the scratch folder. */
void set_paths(tr_gdf_struct *files, int n) {
  const std::string &dir = vzu_fuzz::scratch_dir();
  std::string gdf = dir + "/testrun.gdf" + (n ? ".diff." + std::to_string(n) : "");
  std::string rtg = dir + (n ? "/rtgMessage.dat.1" : "/rtgMessage.dat");
  snprintf(files->testrun_gdf_path, sizeof files->testrun_gdf_path, "%s", gdf.c_str());
  snprintf(files->rtg_path, sizeof files->rtg_path, "%s", rtg.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  vzu_fuzz::init_harness();
  for (const char *name : {"rtgMessage.dat", "rtgMessage.dat.1"}) {
    std::string raw = vzu_fuzz::read_fixture(name);
    vzu_fuzz::write_input_file(vzu_fuzz::scratch_dir() + "/" + name, raw.data(), raw.size());
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  partition_struct partition{};
  snprintf(partition.partition_idx, sizeof partition.partition_idx, "%s",
           vzu_fuzz::scratch_dir().c_str());
  for (int n = 0; n < kMaxVersions && !text.empty(); ++n) {
    size_t cut = n + 1 < kMaxVersions ? text.find(kVersionBreak) : std::string_view::npos;
    std::string_view part = text.substr(0, cut == std::string_view::npos ? text.size() : cut + 1);
    text.remove_prefix(cut == std::string_view::npos ? text.size() : cut + kVersionBreak.size());
    tr_gdf_struct files{};
    set_paths(&files, n);
    vzu_fuzz::write_input_file(files.testrun_gdf_path, part.data(), part.size());
    if (!vzu_fuzz::read_version(&files, &partition)) break;
  }
  vzu_fuzz::reset_tool_state();
  return 0;
}
