# Applies the project's warning set to a target.
function(lumeno_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-missing-field-initializers -Wpedantic -Wshadow -Wnon-virtual-dtor
    -Wold-style-cast -Wcast-align -Woverloaded-virtual -Wimplicit-fallthrough)
  if(LUMENO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Declares a library for one subsystem with the lumeno:: alias.
function(lumeno_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(lumeno_${name} STATIC ${ARG_SOURCES})
  add_library(lumeno::${name} ALIAS lumeno_${name})
  target_include_directories(lumeno_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(lumeno_${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  lumeno_warnings(lumeno_${name})
endfunction()
