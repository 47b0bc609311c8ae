/* c_api_test.c - compiled as C: includes every public header of the core
 * library and calls one function of each, so the headers stay valid C and
 * the symbols keep C linkage. Exits 0 when every call answered as expected. */
#include <stdio.h>
#include <string.h>

#include "twlb_alloc.h"
#include "twlb_big_buf.h"
#include "twlb_get_norm_obj_id.h"
#include "twlb_log.h"
#include "twlb_mem_map.h"
#include "twlb_mem_pool.h"
#include "twlb_util.h"

static int failures;

/* Counts and names each call that answered otherwise. */
#define CHECK(ok)                                                \
  do {                                                           \
    if (!(ok)) fprintf(stderr, "FAILED: %s\n", #ok), failures++; \
  } while (0)

int main(void) {
  char line[] = "a|b";
  char *fields[4];
  CHECK(get_tokens(line, fields, "|", 4) == 2);

  twlb_util_set_debug_log_level(0);
  twlb_debug_log_ex(TWLB_LOG_CRITICAL, MISC, __FILE__, __LINE__, __func__, "%s", "not written");

  char *block = NULL;
  TWLB_MALLOC(block, 16, "c_api_test");
  CHECK(block != NULL && memcmp(block + 16, TWLB_GUARD_TAG, 7) == 0);
  CHECK(g_c_alloc_count >= 1); /* thread-local statistics */
  TWLB_FREE(block, "c_api_test", -1);
  CHECK(block == NULL);

  bigbuf_t buf = {0};
  CHECK(twlb_bigbuf_copy_into_bigbuf(&buf, "abc", 0) == 0);
  twlb_bigbuf_free(&buf);

  twlb_mp_handler pool;
  CHECK(twlb_mp_init(&pool, sizeof(node) + 8, 4, 4, 1) == 0);
  twlb_mp_destroy(&pool);

  NormObjKey key;
  twlb_init_norm_id_table_ex(&key, 16);
  CHECK(twlb_set_norm_id(&key, "abc", 3, 5) == 5);
  CHECK(twlb_get_norm_id(&key, "abc", 3) == 5);
  twlb_obj_hash_destroy(&key);

  CHECK(twlb_mem_map_add(&key, 1, "x", __FILE__, __LINE__, __func__) == -1); /* inactive map */

  if (failures == 0) printf("C API: all calls answered as expected\n");
  return failures == 0 ? 0 : 1;
}
