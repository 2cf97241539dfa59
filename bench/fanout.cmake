target_link_libraries(bench_fanout PRIVATE lumeno::server lumeno::core)
