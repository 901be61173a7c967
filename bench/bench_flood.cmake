# Frame times of the real plug-in under a datagram flood, against its idle frame in the same run.
add_executable(bench_flood ${CMAKE_CURRENT_LIST_DIR}/bench_flood.cpp)
target_link_libraries(bench_flood PRIVATE xplm_sim cvht_phone_link benchmark::benchmark)
add_dependencies(bench_flood TAVRO)
