# bench_store: the store's three goals (ingest rate against plain decoding,
# size against plain SQLite rows, read rate of one series' graph).
add_executable(bench_store ${CMAKE_CURRENT_LIST_DIR}/bench_store.cpp)
target_link_libraries(bench_store PRIVATE orvtsdb orvtsdb_internal orvtsdb_private_headers
  benchmark::benchmark)
