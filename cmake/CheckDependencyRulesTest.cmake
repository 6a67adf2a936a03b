# Proves that the dependency-rule check finds what it is there to find: it runs the check on a
# small tree and link graph with known faults (and some allowed uses) and expects exactly those
# faults, each with its text.
#   cmake -DCHECK=<CheckDependencyRules.cmake> -DWORK_DIR=<scratch dir> -P CheckDependencyRulesTest.cmake
cmake_minimum_required(VERSION 3.25)

set(tree "${WORK_DIR}/tree")
file(REMOVE_RECURSE "${tree}")
function(source path)
  list(JOIN ARGN "\n" text)
  file(WRITE "${tree}/${path}" "${text}\n")
endfunction()

source(platform/dispatch/Queue.cpp
  "#include \"platform/dispatch/Queue.h\""
  "#include \"platform/base/NoDestructor.h\""
  "#include <sqlite3.h>"
  "#include \"platform/xpc/Connection.h\"")
source(platform/xpc/Listener.cpp
  "#include \"platform/defaults/Domain.h\""
  "  #  include \"logging/DDLog.h\" // indented")
source(SharedUtils/A.cpp
  "#include \"logging/DDLogFrontEnd.h\""
  "#include \"testsupport/Eventually.h\""
  "#include \"platform/defaults/tests/DefaultsTestSupport.h\"")
source(SharedUtils/tests/ATests.cpp
  "#include \"Local.h\""
  "#include \"SharedUtils/tests/Local.h\""
  "#include \"testsupport/Eventually.h\""
  "#include \"platform/defaults/tests/DefaultsTestSupport.h\""
  "#include \"tools/coreservicectl/tests/ToolProcess.h\"")
source(tools/coreservicectl/main.cpp
  "#include \"contract/CoreServiceContract.h\""
  "#include \"daemon/CoreServiceProtocol.h\"")
source(tools/coreservicectl/tests/ToolTests.cpp
  "#include \"testsupport/ChildProcess.h\""
  "#include \"tools/coreservicectl/tests/ToolProcess.h\""
  "#include \"SharedUtils/tests/Local.h\"")
source(newfacility/B.cpp "#include \"platform/base/ErrnoText.h\"")
source(platform/dispatch/tests/QueueTests.cpp
  "#include \"platform/dispatch/tests/Helper.h\""
  "#include \"logging/tests/LogTestSupport.h\"")
source(bench/queue_bench.cpp
  "#include \"platform/dispatch/tests/Helper.h\""
  "#include \"testsupport/Eventually.h\"")

set(graph "${WORK_DIR}/graph.txt")
file(WRITE "${graph}" [=[
logging|logging|platform_dispatch;PkgConfig::SQLITE3;/usr/lib/x86_64-linux-gnu/libsystemd.so|logging/DDLog.cpp
platform_dispatch|platform/dispatch|platform_base;logging|platform/dispatch/Queue.cpp;platform/dispatch/tests/Helper.cpp
platform_base|platform/base||
DDLogTests|logging/tests|logging;testsupport;GTest::gtest|logging/tests/A.cpp;cmake/TestMain.cpp;logging/B.cpp
testsupport|testsupport|platform_base|testsupport/Eventually.cpp
ToolTests|tools/coreservicectl/tests|logging;testsupport;GTest::gtest|tools/coreservicectl/tests/T.cpp;SharedUtils/tests/Local.cpp
]=])

execute_process(COMMAND "${CMAKE_COMMAND}" -DSOURCE_DIR=${tree} -DGRAPH=${graph} -P "${CHECK}"
                RESULT_VARIABLE result ERROR_VARIABLE err OUTPUT_VARIABLE out)
set(expected
  [[platform/dispatch/Queue.cpp includes "platform/xpc/Connection.h" (platform/dispatch may not use platform/xpc)]]
  [[platform/xpc/Listener.cpp includes "platform/defaults/Domain.h" (platform/xpc may not use platform/defaults)]]
  [[platform/xpc/Listener.cpp includes "logging/DDLog.h" (platform/xpc may not use logging)]]
  [[SharedUtils/A.cpp includes "testsupport/Eventually.h" (SharedUtils may not use testsupport)]]
  [[SharedUtils/A.cpp includes "platform/defaults/tests/DefaultsTestSupport.h" (test headers of platform/defaults serve only the tests of it and of higher folders)]]
  [[SharedUtils/tests/ATests.cpp includes "tools/coreservicectl/tests/ToolProcess.h" (test headers of tools serve only the tests of it and of higher folders)]]
  [[tools/coreservicectl/main.cpp includes "daemon/CoreServiceProtocol.h" (tools may not use daemon)]]
  [[platform/dispatch/tests/QueueTests.cpp includes "logging/tests/LogTestSupport.h" (test headers of logging serve only the tests of it and of higher folders)]]
  [[target platform_dispatch (platform/dispatch) compiles platform/dispatch/tests/Helper.cpp: test code in a library or program]]
  [[target ToolTests (tools) compiles SharedUtils/tests/Local.cpp: link a library of it instead]]
  [[newfacility: not in the layer order (add it to LAYERS in cmake/CheckDependencyRules.cmake)]]
  [[target platform_dispatch (platform/dispatch) links logging (logging)]]
  [[logging links PkgConfig::SQLITE3: a program using only the logging library must not need it]]
  [[logging links /usr/lib/x86_64-linux-gnu/libsystemd.so: a program using only the logging library must not need it]])

set(failures "")
if(result EQUAL 0)
  list(APPEND failures "the check passed a tree that breaks the rules")
endif()
# One line per fault.
string(REPLACE "\n" ";" lines "${err}")
set(reported "")
foreach(line IN LISTS lines)
  if(line MATCHES "^rule broken: ")
    string(LENGTH "rule broken: " n)
    string(SUBSTRING "${line}" ${n} -1 line)
    list(APPEND reported "${line}")
  endif()
endforeach()
foreach(line IN LISTS expected)
  if(NOT line IN_LIST reported)
    list(APPEND failures "not reported: ${line}")
  endif()
endforeach()
list(LENGTH reported got)
list(LENGTH expected want)
if(NOT got EQUAL want)
  list(APPEND failures "${got} lines reported, ${want} expected")
endif()
if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "${text}\nThe check said:\n${err}")
endif()
message(STATUS "The dependency-rule check reports exactly the ${want} faults of the test tree")
