/*
 * run_folder.h - the layout of a test run's folder, as far as the store
 * knows it: a run lives at "<work folder>/logs/TR<n>" and its store at
 * "<run folder>/tsdb/metrics.sqlite". The one place that spells it out
 * (defined with the store's location, store_location.cpp); the report and
 * the engine labels read a run's number and work folder from here.
 */
#ifndef ORVTSDB_RUN_FOLDER_H
#define ORVTSDB_RUN_FOLDER_H

#include <string>

namespace orvtsdb {

/* Where a run's store lies inside its folder. */
inline constexpr const char STORE_IN_RUN_DIR[] = "/tsdb/metrics.sqlite";

/* A run folder's parts: its last name ("TR12", or whatever it is called),
 * the folder it sits in ("" for a bare name), the run number when the name
 * is TR<digits> ("12", else ""), and, when a TR<n> folder sits in "logs",
 * the work folder above it (in_logs set; work "" for a bare "logs"). */
struct RunFolder {
  std::string name, parent, number, work;
  bool in_logs = false;
};

RunFolder run_folder_of(const std::string &run_dir);

/* The run folder of a store file at <run folder>/tsdb/metrics.sqlite, or ""
 * for a store file kept anywhere else. */
std::string run_dir_of_store(const std::string &db_path);

}  // namespace orvtsdb

#endif
