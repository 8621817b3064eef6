# Compiler flags of the fuzzing build (BREVANTO_FUZZ): every object, the core
# library included, carries libFuzzer's coverage instrumentation and the
# address and undefined-behaviour checks. Only clang has libFuzzer.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "BREVANTO_FUZZ needs clang (libFuzzer): configure with -DCMAKE_CXX_COMPILER=clang++")
endif()
if(BREVANTO_SANITIZE)
  message(FATAL_ERROR "BREVANTO_FUZZ already builds with the sanitizers; leave BREVANTO_SANITIZE off")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                    -fno-sanitize-recover=undefined -g)
add_link_options(-fsanitize=address,undefined)
