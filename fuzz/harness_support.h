/*
 * harness_support.h - what both fuzz harnesses share: running the tool's
 * readers in process (a refusal of the tool jumps back here instead of ending
 * the process), putting the tool's globals back to their start values after
 * every input, and a private scratch folder for the files the readers open.
 */
#ifndef VZU_FUZZ_HARNESS_SUPPORT_H
#define VZU_FUZZ_HARNESS_SUPPORT_H

#include <stddef.h>

#include <string>

#include "vira_zedazad_uvoz_izu.h"

namespace vzu_fuzz {

/* Prepares the process once: the fatal hook, the group name table and the
 * scratch folder. Call from LLVMFuzzerInitialize. */
void init_harness(void);

/* Reads one graph definition version and its raw sample file as a migration
 * does. Returns true when the reader came back, false when the tool refused
 * the input (its fatal exit was taken); files and descriptors the readers
 * left open on the way out are closed. */
bool read_version(tr_gdf_struct *files, partition_struct *partition);

/* Ends the input in hand as if the tool had refused it (only inside
 * read_version). */
[[noreturn]] void drop_input(void);

/* Starts the store double's per-input counts and makes it accept every call
 * again (bounded_store.cpp). */
void store_double_new_input(void);

/* Makes the store double refuse every n-th registration, insert and delete of
 * the input in hand (n >= 2; 0 refuses nothing). */
void store_double_refuse_every(int n);

/* Frees the graph definition model and puts every global the readers use back
 * to its start value, so one input cannot change the next one's outcome. */
void reset_tool_state(void);

/* The harness's private scratch folder (on tmpfs when there is one). */
const std::string &scratch_dir(void);

/* Writes `size` bytes to `path`, replacing it; aborts when it cannot, since a
 * harness that cannot write its input tests nothing. */
void write_input_file(const std::string &path, const void *data, size_t size);

/* The whole text of a fixture file of the fuzz folder (aborts when absent). */
std::string read_fixture(const char *name);

}  // namespace vzu_fuzz

#endif /* VZU_FUZZ_HARNESS_SUPPORT_H */
