# store_bytes: bytes a value of a store file and of its chunk blobs, and of a
# Gorilla XOR encoding of the same samples (bench/store_size.sh prints them).
add_executable(store_bytes ${CMAKE_CURRENT_LIST_DIR}/store_bytes.cpp)
target_link_libraries(store_bytes PRIVATE orvtsdb_internal orvtsdb_private_headers)
