/*
 * orvtsdb_data_types.h - the one table of graph data types, shared by the
 * migration tool (decoding raw sample packets) and the store (element roles).
 *
 * A graph of a data type has `elements` values per vector. In a raw sample
 * packet each element is stored with `width` bytes (data type 10 stores its
 * first element in 2 bytes and its second in 4: width 6 for the graph) and
 * exceeds its real value by `scale` (0: no scale). `family` decides how the
 * elements are merged and what role each one plays in the store.
 */
#ifndef ORVTSDB_DATA_TYPES_H
#define ORVTSDB_DATA_TYPES_H

#ifdef __cplusplus
extern "C" {
#endif

enum orv_data_family {
  ORV_FAMILY_SINGLE = 0,     /* value */
  ORV_FAMILY_CUMULATIVE = 1, /* value (last of a window) */
  ORV_FAMILY_TIMES = 2,      /* avg, min, max, count */
  ORV_FAMILY_TIMES_STD = 3,  /* avg, min, max, count, fifth */
  ORV_FAMILY_VALUE_COUNT = 4 /* value, count */
};

#define ORV_NUM_DATA_TYPES 17
#define ORV_MAX_ELEMENTS_PER_GRAPH 5

typedef struct {
  const char *name;     /* name in the graph definition file */
  const char *alt_name; /* a second accepted name, or 0 */
  int elements;         /* values per vector */
  int width;            /* bytes of the graph's elements in a packet */
  int scale;            /* factor of the stored integer; 0 = none */
  int family;           /* enum orv_data_family */
} orv_data_type_t;

/* Indexed by data type number 0..16. */
static const orv_data_type_t ORV_DATA_TYPES[ORV_NUM_DATA_TYPES] = {
    {"sample", 0, 1, 8, 0, ORV_FAMILY_SINGLE},
    {"rate", 0, 1, 8, 0, ORV_FAMILY_SINGLE},
    {"cumulative", 0, 1, 8, 0, ORV_FAMILY_CUMULATIVE},
    {"times", 0, 4, 8, 0, ORV_FAMILY_TIMES},
    {"timesStd", 0, 5, 8, 0, ORV_FAMILY_TIMES_STD},
    {"sum", 0, 1, 8, 0, ORV_FAMILY_SINGLE},
    {"rate_4B_1000", 0, 1, 4, 1000, ORV_FAMILY_SINGLE},
    {"times_4B_1000", 0, 4, 4, 1000, ORV_FAMILY_TIMES},
    {"sample_2B_100", 0, 1, 2, 100, ORV_FAMILY_SINGLE},
    {"sample_4B_1000", 0, 1, 4, 1000, ORV_FAMILY_SINGLE},
    {"sample_2B_100_count_4B", 0, 2, 6, 100, ORV_FAMILY_VALUE_COUNT},
    {"sum_4B", 0, 1, 4, 0, ORV_FAMILY_SINGLE},
    {"timesStd_4B_1000", 0, 5, 4, 1000, ORV_FAMILY_TIMES_STD},
    {"sample_4B", 0, 1, 4, 0, ORV_FAMILY_SINGLE},
    {"sample_1B", 0, 1, 1, 0, ORV_FAMILY_SINGLE},
    {"times_4B_10", 0, 4, 4, 10, ORV_FAMILY_TIMES},
    {"tdigest_4B", "tdigest", 1, 4, 0, ORV_FAMILY_SINGLE},
};

/* Role names of the elements of each family, in element order. */
static const char *const ORV_FAMILY_ROLES[5][ORV_MAX_ELEMENTS_PER_GRAPH] = {
    {"value", 0, 0, 0, 0},
    {"value", 0, 0, 0, 0},
    {"avg", "min", "max", "count", 0},
    {"avg", "min", "max", "count", "fifth"},
    {"value", "count", 0, 0, 0},
};

/* The entry of a data type number, or 0 for a number outside the table. */
static inline const orv_data_type_t *orv_data_type(int num) {
  return (num >= 0 && num < ORV_NUM_DATA_TYPES) ? &ORV_DATA_TYPES[num] : 0;
}

#ifdef __cplusplus
}
#endif

#endif /* ORVTSDB_DATA_TYPES_H */
