# Checks that the source tree keeps its layers: each folder includes only
# itself and the folders it may build on, and no header outside platform/
# declares a mutable global. Run as `cmake -DSOURCE_DIR=... -P check_layers.cmake`;
# the build links each layer only to the ones below, but a header is found
# from anywhere, so an upward include has to be caught here.
cmake_minimum_required(VERSION 3.22)
set(allowed_platform platform)
set(allowed_common   platform common)
set(allowed_protocol protocol)
set(allowed_switch   platform common protocol switch)
set(allowed_app      platform common protocol switch app)
# The companions speak the protocol over the platform's client sockets.
set(allowed_tools    platform protocol tools)
set(allowed_bench    platform protocol bench)

set(problems "")
foreach(folder platform common protocol switch app tools bench)
  file(GLOB sources "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp")
  foreach(source IN LISTS sources)
    file(STRINGS "${source}" includes REGEX "^#include \"[a-z_]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"([a-z_]+)/.*" "\\1" target "${line}")
      if(NOT target IN_LIST allowed_${folder})
        string(APPEND problems "  ${folder}/ -> ${target}/: ${source}\n")
      endif()
    endforeach()
    if(NOT folder STREQUAL "platform" AND source MATCHES "\\.h$")
      file(STRINGS "${source}" globals REGEX "^extern ")
      foreach(line IN LISTS globals)
        string(APPEND problems "  global in a header: ${source}: ${line}\n")
      endforeach()
    endif()
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "The layers are broken:\n${problems}")
endif()
message(STATUS "layers: every include points down, no global in a header outside platform/")
