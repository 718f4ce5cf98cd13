# Helpers shared by every component's CMakeLists.txt.
#
# TIDE_SCOPE decides what a build tree holds:
#   all  - every library, program and test (default and asan presets)
#   tsan - the tests labelled tsan and what they link
#   fuzz - the fuzz targets and what they link
set(TIDE_SCOPE "all" CACHE STRING "What this build tree builds: all, tsan or fuzz")
set_property(CACHE TIDE_SCOPE PROPERTY STRINGS all tsan fuzz)

include(GoogleTest)
find_package(GTest REQUIRED)
find_package(PkgConfig REQUIRED)

add_custom_target(tide_tsan_tests)
add_custom_target(tide_fuzz_targets)
add_custom_target(tide_benchmarks)

# Warnings are errors in the project's own code.
function(tide_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# tide_library(NAME <STATIC|SHARED|OBJECT|INTERFACE|MODULE> SOURCES ...)
# Libraries are built only when something in this tree links them.
function(tide_library name kind)
  cmake_parse_arguments(ARG "" "" "SOURCES" ${ARGN})
  if(kind STREQUAL "INTERFACE")
    add_library(${name} INTERFACE)
    return()
  endif()
  if(TIDE_SCOPE STREQUAL "all")
    add_library(${name} ${kind} ${ARG_SOURCES})
  else()
    add_library(${name} ${kind} EXCLUDE_FROM_ALL ${ARG_SOURCES})
  endif()
  tide_warnings(${name})
endfunction()

# tide_test(NAME SOURCES ... LIBS ... [TSAN] [RESOURCE_LOCK lock] [LABEL label])
# One GoogleTest binary per component; each case runs as its own CTest test, and the binary runs
# once more whole and shuffled (but for the end-to-end binaries, labelled e2e or soak).
# TSAN marks a concurrent component: its binary also runs in the tsan preset.
# LABEL replaces the binary's own name as its label (e2e and soak mark the end-to-end runs).
# RESOURCE_LOCK keeps its cases from running beside any other case that takes the same lock (the
# real-clock streaming cases take realtime_streaming).
function(tide_test name)
  cmake_parse_arguments(ARG "TSAN" "RESOURCE_LOCK;LABEL" "SOURCES;LIBS" ${ARGN})
  if(TIDE_SCOPE STREQUAL "fuzz")
    return()
  endif()
  if(TIDE_SCOPE STREQUAL "tsan" AND NOT ARG_TSAN)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  tide_warnings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} tide_gtest_main GTest::gtest GTest::gmock)
  if(TARGET DarwinSyslogInterpose)
    target_link_libraries(${name} PRIVATE DarwinSyslogInterpose)
  endif()
  # One label only: a list does not survive the discovery script.
  set(labels ${name})
  if(ARG_LABEL)
    set(labels ${ARG_LABEL})
  endif()
  if(ARG_TSAN)
    set(labels tsan)
    add_dependencies(tide_tsan_tests ${name})
  endif()
  set(lock_property)
  if(ARG_RESOURCE_LOCK)
    set(lock_property RESOURCE_LOCK ${ARG_RESOURCE_LOCK})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${labels}" TIMEOUT 300 ${lock_property})
  # The end-to-end binaries stream on the real clock case by case already; a whole run would only
  # repeat their minutes.
  if(labels MATCHES "^(e2e|soak)$")
    return()
  endif()
  # The whole binary in one process, in an order gtest draws and prints ("Randomizing tests' orders
  # with a seed of N"; --gtest_random_seed=N repeats it), so a test that leans on another's leftovers
  # shows up. The longest test: it starts first.
  add_test(NAME ${name}.WholeShuffled COMMAND ${name} --gtest_shuffle)
  set_tests_properties(${name}.WholeShuffled PROPERTIES LABELS "${labels}" TIMEOUT 600 COST 10000
                       ${lock_property})
endfunction()

# tide_fuzz(NAME SOURCES ... LIBS ... INCLUDES ...)
# A libFuzzer target, built into the fuzz folder of the build; its seed corpus lives in
# fuzz/NAME/corpus.
function(tide_fuzz name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;INCLUDES" ${ARGN})
  if(NOT TIDE_SCOPE STREQUAL "fuzz")
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  tide_warnings(${name})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_include_directories(${name} PRIVATE ${ARG_INCLUDES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  add_dependencies(tide_fuzz_targets ${name})
endfunction()

# tide_bench(NAME SOURCES ... LIBS ...)
# A Google Benchmark binary whose cases come in pairs: <case>/ours and <case>/peer.
function(tide_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT TIDE_SCOPE STREQUAL "all")
    return()
  endif()
  add_executable(${name} EXCLUDE_FROM_ALL ${ARG_SOURCES})
  tide_warnings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark)
  add_dependencies(tide_benchmarks ${name})
endfunction()

# Checks the project's own sources against .clang-format.
function(tide_add_format_check)
  if(NOT TIDE_SCOPE STREQUAL "all")
    return()
  endif()
  find_program(CLANG_FORMAT clang-format REQUIRED)
  add_test(NAME format
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-format ${CLANG_FORMAT}
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
endfunction()

if(NOT TIDE_SCOPE STREQUAL "fuzz")
  add_library(tide_gtest_main STATIC EXCLUDE_FROM_ALL ${CMAKE_CURRENT_LIST_DIR}/TestMain.cpp)
  target_link_libraries(tide_gtest_main PUBLIC GTest::gtest)
endif()
