# Normalized-ID table against std::unordered_map<std::string,int> on the same
# 100,000 short keys: lookup and insert, with the ratios printed at the end.
add_executable(bench_norm_id ${CMAKE_CURRENT_LIST_DIR}/bench_norm_id.cpp)
target_link_libraries(bench_norm_id PRIVATE twcore benchmark::benchmark)
