#!/bin/sh
# The store-size tools read a migrated store: each prints its figures and
# exits 0. They open stores the way the readers do, so a reader-side change
# (a check moved into SQL, a new table) that they miss shows up here and not
# in the middle of a benchmark.
# usage: tools_read_a_store.sh MAKE_SAMPLE_RUN MIGRATE VALUE_FLOOR STORE_BYTES
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$1" --wdir "$work/run" --testrun 1 --preset small >/dev/null
ORVTSDB_URL="sqlite:$work/store.sqlite" TW_WDIR="$work/run" "$2" -t 1 >/dev/null 2>&1
floor=$("$3" "$work/store.sqlite")
bytes=$("$4" "$work/store.sqlite" | tail -1)
echo "value_floor: $floor"
echo "store_bytes: $bytes"
# value_floor: values, exact bytes, near bytes; store_bytes ends with values,
# file bytes, chunk bytes, Gorilla bits, chunk rows. Every figure is a count.
echo "$floor" | grep -Eq '^[1-9][0-9]* [1-9][0-9]* [1-9][0-9]*$'
echo "$bytes" | grep -Eq '^[1-9][0-9]*( [1-9][0-9]*){4}$'
