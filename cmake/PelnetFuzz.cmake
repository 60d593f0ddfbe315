# pelnet_add_fuzz_target(<target> <sources>...)
# A libFuzzer executable (clang only).  The sources of the code under test are
# listed here again, compiled into the target itself, so that only they carry
# the fuzzer's coverage instrumentation.  A fuzz folder is also a project of
# its own (scripts/fuzz.sh configures it so, with clang, while the rest of the
# tree is built with gcc); it includes this file by its path.  Warnings are
# errors with -DPELORIN_WERROR=ON, as in the main build.  A fuzz folder
# configured as a project of its own gets C++20 and PELORIN_FUZZ from here.
include_guard(GLOBAL)

if(CMAKE_SOURCE_DIR STREQUAL CMAKE_CURRENT_SOURCE_DIR)
  set(CMAKE_CXX_STANDARD 20)
  set(CMAKE_CXX_STANDARD_REQUIRED ON)
  set(PELORIN_FUZZ ON)
endif()

function(pelnet_add_fuzz_target target)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "${target} needs clang (libFuzzer), not ${CMAKE_CXX_COMPILER_ID}")
  endif()
  add_executable(${target} ${ARGN})
  target_compile_options(${target} PRIVATE -g -O1 -fsanitize=fuzzer,address,undefined -Wall -Wextra
    $<$<BOOL:${PELORIN_WERROR}>:-Werror>)
  target_link_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
endfunction()
