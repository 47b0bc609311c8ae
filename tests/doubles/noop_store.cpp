/*
 * noop_store.cpp - a store double that accepts every call and keeps nothing,
 * so a benchmark measures the tool's own work. Built as its own
 * liborvtsdb.so and put in front of the real one with LD_LIBRARY_PATH.
 */
#include <stdlib.h>

#include "orvtsdb.h"

extern "C" {

int tsdb_init_migration(long) { return 0; }
int tsdb_register_gdf(tsdb_metric_group *, int, tsdb_metric_info *, char *) {
  static int next_gid = 0;
  return next_gid++;
}
void *tsdb_malloc_metric_id_buffer(int num_graphs) {
  return malloc(sizeof(int) * (num_graphs > 0 ? num_graphs : 1));
}
int tsdb_insert_bulk_metric_by_mg_gid_ex(tag_val_ptr_t *, void *, void *, int, int, int, int,
                                         double *, int, void *, int, char *, int) {
  return 0;
}
int tsdb_insert_bulk_metric_by_id(void *, void *, int, double *, int, int, int) { return 0; }
int tsdb_migration_increment_sample_ex(int) { return 0; }
unsigned char tsdb_delete_metric_by_id(void *, char *) { return 0; }
void tsdb_free_metric_id_buffer(void *metric_id) { free(metric_id); }
int tsdb_exit_migration(long) { return 0; }

}  // extern "C"
