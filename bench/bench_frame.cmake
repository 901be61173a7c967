# One flight-loop frame of the real plug-in with a phone streaming, against the bare system calls.
add_executable(bench_frame ${CMAKE_CURRENT_LIST_DIR}/bench_frame.cpp)
target_link_libraries(bench_frame PRIVATE xplm_sim cvht_phone_link benchmark::benchmark)
# The allocation counter must interpose malloc for the loaded plug-in too.
set_target_properties(bench_frame PROPERTIES ENABLE_EXPORTS ON)
add_dependencies(bench_frame TAVRO)
