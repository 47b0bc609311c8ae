/*
 * twlb_mem_map.cpp - the per-thread allocation map. Entries are indexed by
 * the id that the map's own normalized-ID table gives the block's printed
 * address. Because the table and the entry array come from the tracked
 * allocation, which reports back here, the map sets its capacity to 0
 * ("inactive") around its own table calls so it neither records nor
 * re-enters itself.
 */
#include "twlb_mem_map.h"

#include <cstdio>
#include <cstring>

#include "twlb_log.h"
#include "twlb_util.h"

extern "C" {
TWLB_THREAD_LOCAL OrvMemoryMap *orv_mem_map = nullptr;
TWLB_THREAD_LOCAL int mem_map_entry_max = 0;
TWLB_THREAD_LOCAL int mem_map_max_norm_id = 0;
TWLB_THREAD_LOCAL NormObjKey mem_map_norm_tbl;
}

namespace {

constexpr int kKeyMax = 128;  // printed address, at most 127 characters
constexpr int kDumpLineMax = 1024;

// Runs a call on the map's own table with the map looking inactive.
template <typename Call>
auto suspended(Call call) {
  int saved = mem_map_entry_max;
  mem_map_entry_max = 0;
  auto result = call();
  mem_map_entry_max = saved;
  return result;
}

int address_key(const void *address, char (&key)[kKeyMax]) {
  int n = snprintf(key, sizeof key, "%p", address);
  return n < kKeyMax ? n : kKeyMax - 1;
}

void fill_entry(OrvMemoryMap *entry, void *address, size_t size,
                const char *msg, const char *file, int line, const char *func) {
  entry->size = size;
  entry->address = address;
  snprintf(entry->message, sizeof entry->message, "%s|%d|%s|%s", file, line,
           func, msg);
  twlb_get_cur_date_time(entry->timestamp, 1);
}

void clear_entry(OrvMemoryMap *entry) {
  entry->size = 0;
  entry->address = nullptr;
  entry->message[0] = '\0';
  entry->timestamp[0] = '\0';
}

void write_entries(FILE *fp) {
  char line[kDumpLineMax];
  for (int i = 0; i <= mem_map_max_norm_id; i++) {
    const OrvMemoryMap &e = orv_mem_map[i];
    if (e.size == 0) continue;
    snprintf(line, sizeof line, "%s|%p|%ld|%s\n", e.timestamp, e.address,
             static_cast<long>(e.size), e.message);
    fputs(line, fp);
  }
}

}  // namespace

extern "C" {

int twlb_mem_map_init(void) {
  TWLB_TRACE(TWLB_LOG_CRITICAL, MEMORY,
             "Method Called, mem_map_entry_max = %d, sizeof(OrvMemoryMap) = %d",
             mem_map_entry_max, static_cast<int>(sizeof(OrvMemoryMap)));
  if (mem_map_entry_max != 0) {
    TWLB_TRACE(TWLB_LOG_MINOR, MEMORY, "Memory Map already intialized");
    return -1;
  }
  twlb_init_norm_id_table(&mem_map_norm_tbl, TWLB_MEM_MAP_INIT_ENTRIES);
  TWLB_MALLOC(orv_mem_map, sizeof(OrvMemoryMap) * TWLB_MEM_MAP_INIT_ENTRIES,
              "OrvMemoryMap");
  // Cleared although add writes every entry before a dump can reach it:
  // entry 0 is visited by a dump even before anything was recorded.
  memset(static_cast<void *>(orv_mem_map), 0,
         sizeof(OrvMemoryMap) * TWLB_MEM_MAP_INIT_ENTRIES);
  mem_map_entry_max = TWLB_MEM_MAP_INIT_ENTRIES;
  TWLB_TRACE(TWLB_LOG_MINOR, MEMORY, "mem_map_entry_max = %d",
             mem_map_entry_max);
  return 0;
}

int twlb_mem_map_add(void *address, size_t size, const char *msg,
                     const char *file, int line, const char *func) {
  TWLB_TRACE(TWLB_LOG_MINOR, MEMORY,
             "Method called, address = %p, size = %ld, message = %s", address,
             static_cast<long>(size), msg ? msg : "(null)");
  if (mem_map_entry_max == 0) {
    TWLB_TRACE(TWLB_LOG_MINOR, MEMORY, "Memory map is not initialized");
    return -1;
  }
  if (!address || !msg || !*msg) {
    TWLB_TRACE(TWLB_LOG_MINOR, MEMORY, "Memory map - address or msg is NULL");
    return -1;
  }
  char key[kKeyMax];
  int key_len = address_key(address, key);
  int flag_new = 0;
  int id = static_cast<int>(suspended([&] {
    return twlb_get_or_set_norm_id(&mem_map_norm_tbl, key, key_len, &flag_new);
  }));
  if (flag_new == 0) {
    const OrvMemoryMap &old = orv_mem_map[id];
    TWLB_TRACE(TWLB_LOG_MINOR, MEMORY,
               "Error: Timestamp = %s, Address = %p, size = %ld, message = %s, "
               "already exists in map so overwriting.",
               old.timestamp, old.address, static_cast<long>(old.size),
               old.message);
  } else {
    twlb_mem_map_create_entry(id);
  }
  OrvMemoryMap *entry = &orv_mem_map[id];
  fill_entry(entry, address, size, msg, file, line, func);
  TWLB_TRACE(TWLB_LOG_MINOR, MEMORY,
             "Entry added timestamp = %s, address = %p, size = %ld, message = "
             "%s",
             entry->timestamp, address, static_cast<long>(size),
             entry->message);
  return 0;
}

void twlb_mem_map_create_entry(int norm_id) {
  TWLB_TRACE(TWLB_LOG_MINOR, MEMORY, "Method called");
  if (norm_id >= mem_map_entry_max) {
    int old_max = mem_map_entry_max;
    // Raised before the reallocation: the tracked reallocation records the
    // array's new address here, and that nested entry must fit.
    mem_map_entry_max += TWLB_MEM_MAP_GROW_ENTRIES;
    TWLB_REALLOC(orv_mem_map, sizeof(OrvMemoryMap) * mem_map_entry_max,
                 sizeof(OrvMemoryMap) * old_max, "twlb_mem_map_create_entry",
                 -1);
    memset(static_cast<void *>(orv_mem_map + old_max), 0,
           sizeof(OrvMemoryMap) * (mem_map_entry_max - old_max));
  }
  if (norm_id > mem_map_max_norm_id) mem_map_max_norm_id = norm_id;
  TWLB_TRACE(TWLB_LOG_MINOR, MEMORY, "mem_map_max_norm_id = %d",
             mem_map_max_norm_id);
}

int twlb_mem_map_remove(void *address) {
  TWLB_TRACE(TWLB_LOG_MINOR, MEMORY, "Method called, address = %p", address);
  if (mem_map_entry_max == 0) {
    TWLB_TRACE(TWLB_LOG_MINOR, MEMORY, "Memory map is not initialized");
    return -1;
  }
  if (!address) {
    TWLB_TRACE(TWLB_LOG_MINOR, MEMORY, "Memory map - address is NULL");
    return -1;
  }
  char key[kKeyMax];
  int key_len = address_key(address, key);
  int id = twlb_get_norm_id(&mem_map_norm_tbl, key, key_len);
  if (id < 0) {
    TWLB_TRACE(TWLB_LOG_MINOR, MEMORY, "Memory %p is not found in map",
               address);
    return -1;
  }
  clear_entry(&orv_mem_map[id]);
  int deleted = -1;
  suspended([&] {
    return twlb_delete_norm_id_ex(&mem_map_norm_tbl, key, key_len, &deleted);
  });
  TWLB_TRACE(TWLB_LOG_MINOR, MEMORY, "Deleted normid = %d", id);
  return 0;
}

int twlb_mem_map_dump(const char *fname) {
  static const char kHeader[] =
      "AbsoluteTimeStamp|Address|Size|FileName|LineNo|FunctionName|Message!!"
      "\n";
  TWLB_TRACE(TWLB_LOG_MINOR, MEMORY,
             "Method Called, fname = %s, header_buf = %s",
             fname ? fname : "(null)", kHeader);
  if (!fname || !*fname) {
    TWLB_TRACE(TWLB_LOG_CRITICAL, MEMORY, "Memory dump file is NULL");
    return -1;
  }
  if (mem_map_entry_max == 0) {
    TWLB_TRACE(TWLB_LOG_MINOR, MEMORY, "Memory map is not initialized");
    return -1;
  }
  FILE *fp = fopen(fname, "we");
  if (!fp) {
    TWLB_TRACE(TWLB_LOG_MINOR, MEMORY, "Error in opening the file '%s'", fname);
    return -1;
  }
  fputs(kHeader, fp);
  write_entries(fp);
  fclose(fp);
  return 0;
}

int twlb_mem_map_free(void) {
  TWLB_TRACE(TWLB_LOG_CRITICAL, MEMORY, "Method Called");
  if (mem_map_entry_max == 0) {
    TWLB_TRACE(TWLB_LOG_MINOR, MEMORY, "Memory Map not intialized");
    return -1;
  }
  // Suspended like every other call on the map's own table: the releases
  // made while destroying it must not look addresses up in it.
  suspended([] { return twlb_obj_hash_destroy(&mem_map_norm_tbl); });
  mem_map_entry_max = 0;
  mem_map_max_norm_id = 0;
  TWLB_FREE(orv_mem_map, "OrvMemoryMap", -1);
  return 0;
}

}  // extern "C"
