target_compile_definitions(bench_hostile PRIVATE LUMENO_BINARY="$<TARGET_FILE:lumeno>")
add_dependencies(bench_hostile lumeno)
