# What every test executable shares, compiled once instead of once per test: the unbuffered
# standard output below, and a precompiled header of the test framework and the standard headers
# most tests include. Parsing those headers costs 2 to 5 s of CPU in every test file; every test
# reuses this one header (its flags are the global ones and the tests' -O0, which every test has).
# CMAKE_DISABLE_PRECOMPILE_HEADERS=ON turns it off.
if(CS_BUILD_TESTS)
  # Standard output unbuffered, so that what a test printed before a hang or a crash is not lost.
  add_library(cs_test_common OBJECT ${PROJECT_SOURCE_DIR}/cmake/UnbufferedTestOutput.cpp)
  target_link_libraries(cs_test_common PRIVATE GTest::gtest Threads::Threads)
  target_compile_options(cs_test_common PRIVATE -O0)
  target_precompile_headers(cs_test_common PRIVATE
    <gtest/gtest.h> <atomic> <chrono> <condition_variable> <filesystem> <fstream> <functional>
    <map> <mutex> <optional> <sstream> <string> <thread> <vector>)
endif()

# cs_add_gtest(NAME name SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l1 l2] [TIMEOUT seconds])
# One test executable per unit, registered with CTest as one test. Each runs under
# scripts/test-launcher.sh: past TIMEOUT seconds (default 300) it prints the stacks of every thread
# of the hung test and kills it; CTest's own time-out comes later, so the stacks get out first.
function(cs_add_gtest)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} cs_test_common GTest::gtest GTest::gmock
                                          GTest::gtest_main Threads::Threads)
  # Test sources are compiled without optimisation: they are more than half of every build's
  # compile time and run for seconds, while what they exercise, the libraries, keeps the build's
  # own optimisation (and its sanitizers) in every build. The shared precompiled header is built
  # with the same -O0, or the compiler would refuse it.
  target_compile_options(${T_NAME} PRIVATE -O0)
  target_precompile_headers(${T_NAME} REUSE_FROM cs_test_common)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${T_NAME}
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/test-launcher.sh ${T_TIMEOUT} $<TARGET_FILE:${T_NAME}>)
  math(EXPR ctest_timeout "${T_TIMEOUT} + 180")
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${ctest_timeout})
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# cs_add_fuzz_target(NAME name SOURCES a.cpp LIBS lib1 lib2 CORPUS dir)
# A fuzz target (an LLVMFuzzerTestOneInput entry point). With clang it is the libFuzzer binary
# <name>Fuzzer; with any other compiler the entry point is linked with a small main() that replays
# files, as <name>FuzzReplay. Either way CTest replays the committed corpus in every build (test
# <name>FuzzCorpus), under the test launcher.
function(cs_add_fuzz_target)
  cmake_parse_arguments(F "" "NAME;CORPUS" "SOURCES;LIBS" ${ARGN})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    set(target ${F_NAME}Fuzzer)
    add_executable(${target} ${F_SOURCES})
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
    # -runs=0 with a directory: run every corpus file once and stop.
    set(replay $<TARGET_FILE:${target}> -runs=0)
  else()
    set(target ${F_NAME}FuzzReplay)
    add_executable(${target} ${F_SOURCES} ${PROJECT_SOURCE_DIR}/cmake/FuzzReplayMain.cpp)
    set(replay $<TARGET_FILE:${target}>)
  endif()
  target_link_libraries(${target} PRIVATE ${F_LIBS})
  if(CS_BUILD_TESTS)
    add_test(NAME ${F_NAME}FuzzCorpus
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/test-launcher.sh 300 ${replay} ${F_CORPUS})
    set_tests_properties(${F_NAME}FuzzCorpus PROPERTIES TIMEOUT 480)
  endif()
endfunction()
