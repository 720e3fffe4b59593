# Builds the BLAKE3 C implementation that Debian ships inside its Rust crate
# package, with the x86-64 assembly and the run-time CPU dispatch.
file(GLOB QV_BLAKE3_DIRS LIST_DIRECTORIES true /usr/share/cargo/registry/blake3-*/c)
list(SORT QV_BLAKE3_DIRS)
list(POP_BACK QV_BLAKE3_DIRS QV_BLAKE3_DIR)
if(NOT QV_BLAKE3_DIR OR NOT EXISTS "${QV_BLAKE3_DIR}/blake3.h")
  message(FATAL_ERROR "BLAKE3 C sources not found; install librust-blake3-dev (scripts/setup)")
endif()
message(STATUS "BLAKE3 sources: ${QV_BLAKE3_DIR}")

set(QV_BLAKE3_SOURCES
  ${QV_BLAKE3_DIR}/blake3.c
  ${QV_BLAKE3_DIR}/blake3_dispatch.c
  ${QV_BLAKE3_DIR}/blake3_portable.c)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  list(APPEND QV_BLAKE3_SOURCES
    ${QV_BLAKE3_DIR}/blake3_sse2_x86-64_unix.S
    ${QV_BLAKE3_DIR}/blake3_sse41_x86-64_unix.S
    ${QV_BLAKE3_DIR}/blake3_avx2_x86-64_unix.S
    ${QV_BLAKE3_DIR}/blake3_avx512_x86-64_unix.S)
else()
  set(QV_BLAKE3_PORTABLE_DEFS BLAKE3_NO_SSE2 BLAKE3_NO_SSE41 BLAKE3_NO_AVX2 BLAKE3_NO_AVX512)
endif()
add_library(qv_blake3 STATIC ${QV_BLAKE3_SOURCES})
target_include_directories(qv_blake3 SYSTEM PUBLIC ${QV_BLAKE3_DIR})
target_compile_definitions(qv_blake3 PRIVATE ${QV_BLAKE3_PORTABLE_DEFS})
set_target_properties(qv_blake3 PROPERTIES POSITION_INDEPENDENT_CODE ON)
