# Runs the real binary: the one built in this tree unless --binary names another.
target_compile_definitions(bench_lograte PRIVATE LUMENO_BINARY="$<TARGET_FILE:lumeno>")
add_dependencies(bench_lograte lumeno)
