# The programs of the system benchmark (bench/system_bench.py and
# bench/idle_bench.py, see SYSTEM_RESULTS.md): a flood sender and a bare
# receiver.  Plain POSIX programs; they do not link the daemon's code.
add_executable(quillon_flood flood.cpp)
add_executable(quillon_bare_receiver bare_receiver.cpp)
