# Motion quality of the real plug-in's view against a known head motion, phone and host on simulated time.
add_executable(bench_motion ${CMAKE_CURRENT_LIST_DIR}/bench_motion.cpp)
target_link_libraries(bench_motion PRIVATE xplm_sim cvht_phone_link)
target_compile_definitions(bench_motion PRIVATE CVHT_BUILD_DIR="${CMAKE_BINARY_DIR}")
add_dependencies(bench_motion TAVRO)
