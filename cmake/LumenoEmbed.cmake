# Embeds files into a generated C++ source as byte arrays, so the binary needs no data folder.
#   lumeno_embed(OUTPUT out.cpp NAMESPACE ns FILES a.html b.css)
# Each file becomes `std::string_view ns::<identifier>()` where the identifier is the file name
# with every non-alphanumeric character replaced by '_'.
function(lumeno_embed)
  cmake_parse_arguments(ARG "" "OUTPUT;NAMESPACE" "FILES" ${ARGN})
  add_custom_command(
    OUTPUT ${ARG_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${ARG_OUTPUT} -DNAMESPACE=${ARG_NAMESPACE}
            "-DFILES=${ARG_FILES}" -P ${PROJECT_SOURCE_DIR}/cmake/embed_files.cmake
    DEPENDS ${ARG_FILES} ${PROJECT_SOURCE_DIR}/cmake/embed_files.cmake
    COMMENT "Embedding ${ARG_NAMESPACE} files"
    VERBATIM)
endfunction()
