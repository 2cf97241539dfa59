pkg_check_modules(BENCH_SAMPLERATE REQUIRED IMPORTED_TARGET samplerate)
target_link_libraries(bench_asr PRIVATE lumeno::platform_sphinx PkgConfig::BENCH_SAMPLERATE)
pkg_check_modules(BENCH_OPUS REQUIRED IMPORTED_TARGET opus)
target_link_libraries(bench_asr PRIVATE lumeno::server PkgConfig::BENCH_OPUS)
target_link_libraries(bench_asr PRIVATE lumeno::speech_text lumeno::audio)
target_compile_definitions(bench_asr PRIVATE LUMENO_BENCH_ASR_SETS="${CMAKE_CURRENT_SOURCE_DIR}/asr-sets"
                                             LUMENO_BENCH_ASR_CACHE="${CMAKE_CURRENT_BINARY_DIR}/asr-audio")
