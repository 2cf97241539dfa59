pkg_check_modules(BENCH_SAMPLERATE REQUIRED IMPORTED_TARGET samplerate)
target_link_libraries(bench_asr PRIVATE lumeno::platform_sphinx PkgConfig::BENCH_SAMPLERATE)
pkg_check_modules(BENCH_OPUS REQUIRED IMPORTED_TARGET opus)
target_link_libraries(bench_asr PRIVATE lumeno::server PkgConfig::BENCH_OPUS)
