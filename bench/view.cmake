# The viewer's benchmark and its input: the 150-beacon group's dump written
# by the daemon's own renderer.  Built with the viewer (no Google Benchmark
# needed), because the metrics checks of the test command read that dump too.
add_executable(quillon_group_dump ${CMAKE_CURRENT_LIST_DIR}/group_dump.cpp ${CMAKE_CURRENT_LIST_DIR}/beacon_group.cpp)
target_link_libraries(quillon_group_dump PRIVATE quillon_core)
add_executable(quillon_view_bench ${CMAKE_CURRENT_LIST_DIR}/view_bench.cpp)
target_link_libraries(quillon_view_bench PRIVATE quillon_view_core)
# The history's ingest cost, size and query times (run by hand: minutes).
add_executable(quillon_history_bench ${CMAKE_CURRENT_LIST_DIR}/history_bench.cpp)
target_link_libraries(quillon_history_bench PRIVATE quillon_view_core)
