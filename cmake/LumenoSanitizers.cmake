# LUMENO_SANITIZE=address,undefined or LUMENO_SANITIZE=thread applies to every target.
if(LUMENO_SANITIZE)
  if(LUMENO_SANITIZE MATCHES "thread" AND LUMENO_SANITIZE MATCHES "address")
    message(FATAL_ERROR "thread and address sanitizers cannot be combined")
  endif()
  add_compile_options(-fsanitize=${LUMENO_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${LUMENO_SANITIZE})
  if(LUMENO_SANITIZE MATCHES "undefined")
    # GCC leaves float-to-integer overflow out of "undefined"; a timestamp of 1e308 needs it.
    add_compile_options(-fsanitize=float-cast-overflow -fno-sanitize-recover=undefined,float-cast-overflow)
    add_link_options(-fsanitize=float-cast-overflow)
  endif()
endif()
