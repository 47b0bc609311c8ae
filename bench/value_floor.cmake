# value_floor: the bytes a store's values would take if each chunk column were
# packed at its best exponent and predictor (bench/store_size.sh prints it).
add_executable(value_floor ${CMAKE_CURRENT_LIST_DIR}/value_floor.cpp)
target_link_libraries(value_floor PRIVATE orvtsdb_internal orvtsdb_private_headers)
