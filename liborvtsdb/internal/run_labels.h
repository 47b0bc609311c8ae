/*
 * run_labels.h - name=value labels of a run (build, version, branch): given
 * at migration through ORVTSDB_RUN_LABELS or later with `orvtsdb label`,
 * kept in the store's run_labels table with their row checks, shown by
 * `history` and `compare`.
 */
#ifndef ORVTSDB_RUN_LABELS_H
#define ORVTSDB_RUN_LABELS_H

#include <sqlite3.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace orvtsdb {

using Labels = std::vector<std::pair<std::string, std::string>>;

/* The environment variable whose labels a migration gives its run:
 * "build=1.4.2,branch=main". */
constexpr const char *kRunLabelsVariable = "ORVTSDB_RUN_LABELS";

/* The longest label name and value, in bytes. */
constexpr size_t kLabelNameMax = 128;
constexpr size_t kLabelValueMax = 256;

/* Reads "NAME=VALUE,NAME=VALUE" (or one NAME=VALUE when `one`) into out.
 * A name is up to kLabelNameMax letters, digits, '_', '.' and '-', starting
 * with a letter or '_'; a value is up to kLabelValueMax bytes of text without
 * control characters (C0, DEL, C1 and the Unicode line separators)
 * and, unless `one`, without ','. false with the reason in err. */
bool parse_labels(const std::string &text, bool one, Labels &out, std::string &err);

/* The labels ORVTSDB_RUN_LABELS gives a migration's run (none when it is
 * unset or empty). false with the reason, naming the variable, in err. */
bool labels_from_environment(Labels &out, std::string &err);

/* Sets (or replaces) the labels of run number `run` inside the caller's
 * write transaction, each row with its check. */
bool set_run_labels(sqlite3 *db, int64_t run, const Labels &labels, std::string &err);

/* Gives run number `run` of the store file `path` these labels in one
 * transaction of its own, waiting for a migration's lock as long as
 * ORVTSDB_BUSY_TIMEOUT_MS says. Nothing else of the store changes. false
 * with the reason in err (nothing written). */
bool label_run(const std::string &path, int64_t run, const Labels &labels, std::string &err);

/* The labels of run number `run`, by name; none in a store without the
 * table. A row that does not match its check is an error. */
bool read_run_labels(sqlite3 *db, int64_t run, Labels &out, std::string &err);

}  // namespace orvtsdb

#endif
