# The fuzz build: the whole project configured with clang, every C and C++
# file instrumented for libFuzzer and built under AddressSanitizer and
# UndefinedBehaviorSanitizer, with tests/fuzz added at the end. scripts/fuzz
# configures it into build-fuzz/ by naming this file as the project's include
# (CMAKE_PROJECT_qv_launcher_INCLUDE), so the normal build never sees it.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "the fuzz build needs clang (scripts/fuzz configures clang-16)")
endif()

# libstdc++ 12 shows std::expected only to compilers that announce C++20
# concepts in full; clang 16 implements what <expected> uses but announces an
# older value.
set(QV_FUZZ_SANITIZERS address,undefined)
add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX>:-fsanitize=fuzzer-no-link,${QV_FUZZ_SANITIZERS}>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-fno-sanitize-recover=all;-fno-omit-frame-pointer>"
  "$<$<COMPILE_LANGUAGE:CXX>:-U__cpp_concepts;-D__cpp_concepts=202002L>")
add_link_options(-fsanitize=${QV_FUZZ_SANITIZERS})

# The targets, made once the project has defined the library and its
# warning set.
#
# Every tests/fuzz/<name>_fuzz.cpp is a target <name>_fuzz defining
# LLVMFuzzerTestOneInput. An optional <name>_seeds.cpp beside it defines
# qv::fuzz::write_seeds and becomes the program <name>_seeds, which writes the
# target's starting corpus with the test release builder; an optional
# <name>.dict is the target's libFuzzer dictionary (scripts/fuzz passes both).
set(QV_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})
function(qv_add_fuzz_targets)
  # Programs land in the top of the build folder, where scripts/fuzz runs them.
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

  # The test release builder (keys from a fixed seed, envelopes, objects): the
  # targets seal what they are given with the test keys, and the seed programs
  # write real releases. Every other .cpp here is shared by targets and seeds.
  set(QV_SUPPORT_DIR ${PROJECT_SOURCE_DIR}/tests/support)
  file(GLOB QV_FUZZ_SHARED CONFIGURE_DEPENDS ${QV_FUZZ_DIR}/*.cpp)
  list(FILTER QV_FUZZ_SHARED EXCLUDE REGEX "(_fuzz|_seeds|/seed_main)\\.cpp$")
  add_library(qv_fuzz_support STATIC
    ${QV_SUPPORT_DIR}/release_builder.cpp ${QV_SUPPORT_DIR}/object_builder.cpp ${QV_SUPPORT_DIR}/temp_dir.cpp
    ${QV_FUZZ_SHARED})
  target_include_directories(qv_fuzz_support PUBLIC ${PROJECT_SOURCE_DIR}/tests ${QV_FUZZ_DIR})
  target_compile_options(qv_fuzz_support PRIVATE ${QV_WARNINGS})
  target_link_libraries(qv_fuzz_support PUBLIC qv_core PkgConfig::SODIUM PkgConfig::ZSTD)

  file(GLOB QV_FUZZ_TARGETS CONFIGURE_DEPENDS ${QV_FUZZ_DIR}/*_fuzz.cpp)
  foreach(source IN LISTS QV_FUZZ_TARGETS)
    get_filename_component(target "${source}" NAME_WE)
    string(REGEX REPLACE "_fuzz$" "" name "${target}")
    add_executable(${target} ${source})
    target_compile_options(${target} PRIVATE ${QV_WARNINGS})
    target_link_libraries(${target} PRIVATE qv_fuzz_support)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
    set(seeds ${QV_FUZZ_DIR}/${name}_seeds.cpp)
    if(EXISTS ${seeds})
      add_executable(${name}_seeds ${seeds} ${QV_FUZZ_DIR}/seed_main.cpp)
      target_compile_options(${name}_seeds PRIVATE ${QV_WARNINGS})
      target_link_libraries(${name}_seeds PRIVATE qv_fuzz_support)
    endif()
  endforeach()
endfunction()
cmake_language(DEFER CALL qv_add_fuzz_targets)
