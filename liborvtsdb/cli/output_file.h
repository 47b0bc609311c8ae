/*
 * output_file.h - a file a command writes whole (a page, a dashboard): its
 * place checked before any work, then written beside its name and renamed
 * into place, so that a failure leaves no half file and an earlier one
 * stays; a pipe, a device or a link's target (/dev/stdout) is written
 * straight into.
 */
#ifndef ORVTSDB_OUTPUT_FILE_H
#define ORVTSDB_OUTPUT_FILE_H

#include <cstdio>
#include <functional>
#include <string>

namespace orvtsdb_cli {

/* Dies (status 1) naming the file and the cause when `output` could not be
 * written where it is to go (its folder missing or not writable, or the
 * name a folder's): called before any work, so that a long command does not
 * fail at its end. */
void check_output_file(const std::string &output);

/* Writes `output` with what `put` writes into the FILE it is given. True
 * when the file took its name by the rename; false when it went straight
 * into a pipe, a device or a link's target, where what the caller prints
 * next could land in it (/dev/stdout). Dies (status 1) naming the file and
 * the cause when it cannot be written. */
bool write_output_file(const std::string &output, const std::function<void(std::FILE *)> &put);

}  // namespace orvtsdb_cli

#endif
