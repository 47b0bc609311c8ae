# bench_writer: values decoded per second through write_data_in_tsdb (tool
# objects, no-op store) against a plain loop that only reads and widens the
# same elements, at unchanged frequency and in merge mode; ratios at the end.
add_executable(bench_writer ${CMAKE_CURRENT_LIST_DIR}/bench_writer.cpp)
target_link_libraries(bench_writer PRIVATE vzu_objs twcore orvtsdb_noop benchmark::benchmark)
