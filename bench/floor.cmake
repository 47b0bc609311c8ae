# floor_read: the floor of the migration benchmarks (read the raw sample files
# of a generated run and widen every element, no store); run by
# bench/run_benchmarks.sh beside the tool itself.
add_executable(floor_read ${CMAKE_CURRENT_LIST_DIR}/floor_read.cpp)
target_link_libraries(floor_read PRIVATE sample_run_lib)
# The packets are widened as the tool widens them (its rtg_packet.h).
target_include_directories(floor_read PRIVATE ${PROJECT_SOURCE_DIR}/tools/vira_zedazad_uvoz_izu)
