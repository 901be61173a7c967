# bench_apt: the airport index on the full-size generated apt.dat, which it depends on.
add_executable(bench_apt ${CMAKE_CURRENT_SOURCE_DIR}/bench_apt.cpp)
target_link_libraries(bench_apt PRIVATE cvht_apt benchmark::benchmark)
target_compile_definitions(bench_apt PRIVATE "CVHT_APT_FULL_DAT=\"${CVHT_APT_FULL_DAT}\"")
add_dependencies(bench_apt apt_full_dat)
