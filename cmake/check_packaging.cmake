# What a packager gets, checked cheaply (run as a test with cmake -P):
#
#   1. The project configured with BUILD_TESTING=OFF compiles, includes and
#      links nothing of tests/: the build it describes needs no test fixture.
#      (Configured only; the programs themselves are the ones the main build
#      compiles.)
#   2. `cmake --install` of the main build writes exactly Launcher.exe and
#      LauncherUpdater.exe, side by side at the top of the prefix.
#
# Input: QV_SOURCE_DIR, QV_BINARY_DIR (the main build, already built) and
# QV_GENERATOR. Works in QV_BINARY_DIR/packaging-check, a folder of its own
# that it empties first and removes when it passes.
cmake_minimum_required(VERSION 3.25)

set(work "${QV_BINARY_DIR}/packaging-check")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}")

execute_process(
  COMMAND "${CMAKE_COMMAND}" -S "${QV_SOURCE_DIR}" -B "${work}/build" -G "${QV_GENERATOR}"
          -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
  RESULT_VARIABLE configured OUTPUT_VARIABLE configure_output ERROR_VARIABLE configure_output)
if(NOT configured EQUAL 0)
  message(FATAL_ERROR "configuring with BUILD_TESTING=OFF failed:\n${configure_output}")
endif()

# Every compile and link command of that build: no source, include folder
# or library of the tests may appear in any.
file(READ "${work}/build/compile_commands.json" commands)
file(GLOB_RECURSE generated "${work}/build/*.ninja" "${work}/build/*/link.txt" "${work}/build/*/flags.make")
set(described "${commands}")
foreach(file IN LISTS generated)
  file(READ "${file}" text)
  string(APPEND described "${text}")
endforeach()
foreach(needle "${QV_SOURCE_DIR}/tests/" "qv_test_support")
  string(FIND "${described}" "${needle}" at)
  if(NOT at EQUAL -1)
    string(SUBSTRING "${described}" ${at} 200 where)
    message(FATAL_ERROR "the build without tests still needs the tests' files: ...${where}")
  endif()
endforeach()
foreach(entry src/app/main.cpp src/updater/main.cpp)
  string(FIND "${commands}" "${QV_SOURCE_DIR}/${entry}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "the build without tests does not compile ${entry}")
  endif()
endforeach()

execute_process(
  COMMAND "${CMAKE_COMMAND}" --install "${QV_BINARY_DIR}" --prefix "${work}/prefix"
  RESULT_VARIABLE installed OUTPUT_VARIABLE install_output ERROR_VARIABLE install_output)
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${install_output}")
endif()
file(GLOB_RECURSE files LIST_DIRECTORIES true RELATIVE "${work}/prefix" "${work}/prefix/*")
list(SORT files)
if(NOT files STREQUAL "Launcher.exe;LauncherUpdater.exe")
  message(FATAL_ERROR "the install holds \"${files}\", not exactly Launcher.exe and LauncherUpdater.exe")
endif()
foreach(program Launcher.exe LauncherUpdater.exe)
  # find_program finds only files this user may execute.
  find_program(found_${program} NAMES ${program} PATHS "${work}/prefix" NO_DEFAULT_PATH NO_CACHE)
  if(NOT found_${program})
    message(FATAL_ERROR "${program} is installed without its execute permission")
  endif()
endforeach()

file(REMOVE_RECURSE "${work}")
message(STATUS "packaging: nothing of tests/ without the tests; the install holds ${files}")
