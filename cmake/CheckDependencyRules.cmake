# The dependency rules of the source tree, checked by the test DependencyRules:
#   cmake -DSOURCE_DIR=<tree> -DGRAPH=<build>/dependency-graph.txt -P CheckDependencyRules.cmake
#
# The layers, lowest first. A folder may include the headers of, and link, only folders on a
# lower line; folders on the same line are independent of each other. A subfolder listed on its
# own (logging/sqlite) is a layer of its own; any other subfolder belongs to its parent. Tests
# (a tests/ or testing/ folder anywhere in a folder) may also use testsupport and the test helpers
# of their own folder or of a lower one; benchmarks may use those too; nothing else may. A target
# compiles only sources of its own folder (and the build helpers in cmake/): code of another folder
# is linked as that folder's library. Every folder with C++ sources must be listed here.
cmake_minimum_required(VERSION 3.25)

set(LAYERS
  "platform/base"
  "platform/diagnostics platform/bundle platform/cli"
  "platform/dispatch"
  "platform/reactive platform/files platform/codesign"
  "platform/async platform/process"
  "platform/xpc platform/defaults platform/network logging testsupport"
  "platform/launcher platform/notifications platform/codesign/listener"
  "contract SharedUtils"
  "daemon tools"
  "bench")
# What the logging library, usable on its own, must never pull onto a program's link line.
set(LOGGING_FORBIDDEN "sqlite|systemd")

set(violations "")
macro(violation text)
  list(APPEND violations "${text}")
endmacro()

set(rank 0)
set(folders "")
foreach(line IN LISTS LAYERS)
  string(REPLACE " " ";" names "${line}")
  foreach(name IN LISTS names)
    set(rank_${name} ${rank})
    list(APPEND folders ${name})
  endforeach()
  math(EXPR rank "${rank} + 1")
endforeach()

# The layer a path (a file, a header as included, or a target's folder) belongs to: the longest
# listed folder it lies in. Sets <out>_folder (empty when none) and <out>_test (in a tests/ or
# testing/ folder of that folder or of one of its subfolders).
function(layer_of path out)
  set(best "")
  foreach(f IN LISTS folders)
    string(LENGTH "${f}" n)
    string(LENGTH "${best}" bn)
    if((path STREQUAL f OR path MATCHES "^${f}/") AND n GREATER bn)
      set(best "${f}")
    endif()
  endforeach()
  set(test FALSE)
  if(best AND path MATCHES "^${best}/(.+/)?test(s|ing)(/|$)")
    set(test TRUE)
  endif()
  set(${out}_folder "${best}" PARENT_SCOPE)
  set(${out}_test ${test} PARENT_SCOPE)
endfunction()

# May something in `from` (a test when from_test) use `to`?
function(allowed from from_test to to_test out)
  set(ok FALSE)
  if(to_test)
    # Test helpers serve the tests (and benchmarks) of their folder and of the folders above it,
    # never upwards: no cycle between the test folders of two layers.
    if((from_test OR from STREQUAL "bench") AND (from STREQUAL to OR rank_${to} LESS rank_${from}))
      set(ok TRUE)
    endif()
  elseif(from STREQUAL to)
    set(ok TRUE)
  elseif(to STREQUAL "testsupport")
    # Test helpers serve tests, and the benchmarks that run beside them, only.
    if(from_test OR from STREQUAL "bench")
      set(ok TRUE)
    endif()
  elseif(rank_${to} LESS rank_${from})
    set(ok TRUE)
  endif()
  set(${out} ${ok} PARENT_SCOPE)
endfunction()

# 1. Includes between the project's folders.
file(GLOB_RECURSE sources RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*.h" "${SOURCE_DIR}/*.cpp")
foreach(file IN LISTS sources)
  if(file MATCHES "^(build[^/]*|cmake|\\.[^/]*)/")
    continue()
  endif()
  layer_of("${file}" from)
  if(NOT from_folder)
    get_filename_component(dir "${file}" DIRECTORY)
    violation("${dir}: not in the layer order (add it to LAYERS in cmake/CheckDependencyRules.cmake)")
    continue()
  endif()
  file(STRINGS "${SOURCE_DIR}/${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" header "${line}")
    if(NOT header MATCHES "/")
      continue()  # a header beside the file
    endif()
    layer_of("${header}" to)
    if(NOT to_folder)
      continue()  # not one of the project's folders (a generated or system header)
    endif()
    allowed("${from_folder}" ${from_test} "${to_folder}" ${to_test} ok)
    if(NOT ok AND to_test)
      violation("${file} includes \"${header}\" (test headers of ${to_folder} serve only the tests of it and of higher folders)")
    elseif(NOT ok)
      violation("${file} includes \"${header}\" (${from_folder} may not use ${to_folder})")
    endif()
  endforeach()
endforeach()

# 2. Links between the project's targets, what the logging library links, and whose sources each
# target compiles.
file(STRINGS "${GRAPH}" graph)
set(targets "")
foreach(entry IN LISTS graph)
  if(NOT entry MATCHES "^([^|]*)\\|([^|]*)\\|([^|]*)\\|(.*)$")
    violation("unreadable line in ${GRAPH}: ${entry}")
    continue()
  endif()
  set(target "${CMAKE_MATCH_1}")
  set(folder "${CMAKE_MATCH_2}")
  set(items "${CMAKE_MATCH_3}")
  set(compiled "${CMAKE_MATCH_4}")
  layer_of("${folder}" from)
  if(NOT from_folder)
    violation("target ${target} in ${folder}: not in the layer order")
    continue()
  endif()
  set(links_${target} "${items}")
  set(folder_${target} "${folder}")
  list(APPEND targets ${target})
  foreach(src IN LISTS compiled)
    if(src MATCHES "^cmake/")
      continue()  # the build's own helpers (a test main, a fuzz replayer)
    endif()
    layer_of("${src}" source)
    if(NOT source_folder STREQUAL from_folder)
      violation("target ${target} (${from_folder}) compiles ${src}: link a library of it instead")
    elseif(source_test AND NOT from_test)
      violation("target ${target} (${from_folder}) compiles ${src}: test code in a library or program")
    endif()
  endforeach()
endforeach()
foreach(target IN LISTS targets)
  layer_of("${folder_${target}}" from)
  foreach(item IN LISTS links_${target})
    if(NOT DEFINED folder_${item})
      continue()  # a system library or an imported target
    endif()
    layer_of("${folder_${item}}" to)
    allowed("${from_folder}" ${from_test} "${to_folder}" ${to_test} ok)
    if(NOT ok)
      violation("target ${target} (${from_folder}) links ${item} (${to_folder})")
    endif()
  endforeach()
endforeach()
if(NOT DEFINED links_logging)
  violation("no target named logging in ${GRAPH}")
endif()
foreach(item IN LISTS links_logging)
  string(TOLOWER "${item}" lower)
  if(lower MATCHES "${LOGGING_FORBIDDEN}")
    violation("logging links ${item}: a program using only the logging library must not need it")
  endif()
endforeach()

if(violations)
  foreach(v IN LISTS violations)
    message(NOTICE "rule broken: ${v}")
  endforeach()
  list(LENGTH violations n)
  message(FATAL_ERROR "${n} dependency rules broken (the layers are in ${CMAKE_CURRENT_LIST_FILE})")
endif()
list(LENGTH sources files)
list(LENGTH targets count)
message(STATUS "Dependency rules hold: ${files} files, ${count} targets")
