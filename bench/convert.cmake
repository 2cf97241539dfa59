target_link_libraries(bench_convert PRIVATE lumeno::audio)
