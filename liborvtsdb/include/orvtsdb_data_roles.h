/*
 * orvtsdb_data_roles.h - what each element of a graph's data type is for:
 * how many roles a graph stores per sample, the name of each ("value",
 * "avg", "min", "max", "count", "fifth"), and which data types are times
 * (avg, min, max and count of the transactions that ended in an interval).
 * The one place the store's schema and checks, its readers, the report and
 * compare learn roles from; the table itself is orvtsdb_data_types.h.
 */
#ifndef ORVTSDB_DATA_ROLES_H
#define ORVTSDB_DATA_ROLES_H

#include "orvtsdb_data_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Element count (roles) of a data type, or 0 for a number outside the table. */
static inline int orv_role_count(int data_type) {
  const orv_data_type_t *t = orv_data_type(data_type);
  return t ? t->elements : 0;
}

/* Name of role `role` of a data type's family, or "value" outside the table. */
static inline const char *orv_role_name(int data_type, int role) {
  const orv_data_type_t *t = orv_data_type(data_type);
  if (!t || role < 0 || role >= t->elements) return "value";
  const char *name = ORV_FAMILY_ROLES[t->family][role];
  return name ? name : "value";
}

/* Whether a data type is a times family (avg, min, max, count [, fifth]). */
static inline int orv_is_times(int data_type) {
  const orv_data_type_t *t = orv_data_type(data_type);
  return t && (t->family == ORV_FAMILY_TIMES || t->family == ORV_FAMILY_TIMES_STD);
}

#ifdef __cplusplus
}
#endif

#endif /* ORVTSDB_DATA_ROLES_H */
