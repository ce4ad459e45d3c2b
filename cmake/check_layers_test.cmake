# Proves that check_layers.cmake cannot be fooled: each spelling of an upward
# include, planted alone in a scratch tree, must fail the check and be named.
# Run as `cmake -DSOURCE_DIR=... -DSCRATCH_DIR=... -P check_layers_test.cmake`.
cmake_minimum_required(VERSION 3.22)
set(checker "${CMAKE_CURRENT_LIST_DIR}/check_layers.cmake")

# file|line: what a file of common/ (or a subfolder of it) must not say.
set(plantings
  "common/planted.h|#include \"switch/server.h\""
  "common/planted.h|#include <switch/server.h>"
  "common/planted.h|# include \"switch/server.h\""
  "common/planted.h|#include  \"switch/server.h\""
  "common/planted.h|  #\tinclude<switch/server.h>"
  "common/planted.h|#include \"../switch/server.h\""
  "common/deeper/planted.cpp|#include \"switch/server.h\""
  "common/deeper/planted.cpp|#include \"../../switch/server.h\""
  "protocol/planted.cpp|#include <sys/socket.h>"
  "switch/planted.cpp|#include <winsock2.h>"
  "common/planted.h|extern int counter"
)

set(failures "")
set(case 0)
foreach(planting IN LISTS plantings)
  math(EXPR case "${case} + 1")
  string(REPLACE "|" ";" parts "${planting}")
  list(GET parts 0 file)
  list(GET parts 1 line)
  set(tree "${SCRATCH_DIR}/case${case}")
  file(REMOVE_RECURSE "${tree}")
  # The included header exists in the scratch tree, as it does in ours.
  file(WRITE "${tree}/switch/server.h" "#pragma once\n")
  file(WRITE "${tree}/common/ok.h" "#pragma once\n#include \"platform/platform.h\"\n")
  file(WRITE "${tree}/${file}" "${line}\n")
  execute_process(COMMAND "${CMAKE_COMMAND}" -DSOURCE_DIR=${tree} -P "${checker}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(result EQUAL 0 OR NOT out MATCHES "planted")
    string(APPEND failures "  not caught: ${file}: ${line}\n")
  endif()
endforeach()

# And a tree whose includes all point down passes.
set(tree "${SCRATCH_DIR}/clean")
file(REMOVE_RECURSE "${tree}")
file(WRITE "${tree}/switch/server.h" "#pragma once\n#include \"common/log.h\"\n#include <vector>\n")
file(WRITE "${tree}/switch/relay.cpp" "#include \"server.h\"\n#include \"../protocol/frame.h\"\n")
file(WRITE "${tree}/common/log.h" "#pragma once\n#include <platform/platform.h>\n")
execute_process(COMMAND "${CMAKE_COMMAND}" -DSOURCE_DIR=${tree} -P "${checker}"
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT result EQUAL 0)
  string(APPEND failures "  a clean tree was refused:\n${out}\n")
endif()

file(REMOVE_RECURSE "${SCRATCH_DIR}")
if(failures)
  message(FATAL_ERROR "The layering check was fooled:\n${failures}")
endif()
message(STATUS "layering check: ${case} planted spellings caught, a clean tree passes")
