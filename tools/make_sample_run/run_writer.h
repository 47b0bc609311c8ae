/*
 * run_writer.h - writes a planned sample run into a work directory:
 * <wdir>/logs/TR<n>/<partition>/testrun.gdf, testrun.gdf.diff.<v>,
 * rtgMessage.dat, rtgMessage.dat.<v>, and the run's summary.top and
 * sorted_scenario.conf.
 */
#ifndef MAKE_SAMPLE_RUN_RUN_WRITER_H
#define MAKE_SAMPLE_RUN_RUN_WRITER_H

#include <cstdint>
#include <string>

#include "sample_plan.h"

namespace sample_run {

struct WriteStats {
  int64_t files = 0;
  int64_t packets = 0;     /* packets written, packet 0 of every file included */
  int64_t values = 0;      /* elements written for active vectors */
  int64_t bytes = 0;       /* bytes of every raw sample file */
  int64_t largest_rtg = 0; /* bytes of the largest raw sample file */
  std::string largest_rtg_path;
};

/* Writes the run. Returns an empty string, or what failed (with the path). */
std::string write_run(const RunPlan &plan, const std::string &wdir, WriteStats &stats);

}  // namespace sample_run

#endif
