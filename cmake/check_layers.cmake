# Checks that the source tree keeps its layers: each folder includes only
# itself and the folders it may build on, only platform/ includes the
# system's socket headers, and no header outside platform/ declares a mutable
# global. Run as `cmake -DSOURCE_DIR=... -P check_layers.cmake`; the build
# links each layer only to the ones below, but a header is found from
# anywhere, so an upward include has to be caught here.
#
# Every spelling the preprocessor accepts counts: quotes or angle brackets,
# blanks around the hash and after "include", and paths through "..",
# resolved against the including file's folder as the compiler resolves them.
# Every file in every subfolder is read.
cmake_minimum_required(VERSION 3.22)
set(layers platform common protocol switch app tools bench)
set(allowed_platform platform)
set(allowed_common   platform common)
set(allowed_protocol protocol)
set(allowed_switch   platform common protocol switch)
set(allowed_app      platform common protocol switch app)
# The companions speak the protocol over the platform's client sockets.
set(allowed_tools    platform protocol tools)
set(allowed_bench    platform protocol bench)
# What only the platform layer may include: the rest of the code never sees
# which system it runs on.
set(system_socket_headers
    "^winsock2\\.h$" "^ws2tcpip\\.h$" "^windows\\.h$" "^sys/socket\\.h$" "^sys/epoll\\.h$"
    "^netinet/" "^arpa/" "^netdb\\.h$")

# The layer folder that an include names, or "" when it names none of ours.
# A quoted name is looked up beside the including file first, as the
# compiler does; a name in angle brackets only from the tree's root.
function(included_layer source bracket path out)
  get_filename_component(folder "${source}" DIRECTORY)
  set(resolved "")
  if(bracket STREQUAL "\"")
    get_filename_component(beside "${path}" ABSOLUTE BASE_DIR "${folder}")
    if(EXISTS "${beside}" OR path MATCHES "^\\.\\.?/")
      set(resolved "${beside}")
    endif()
  endif()
  if(resolved STREQUAL "")
    get_filename_component(resolved "${path}" ABSOLUTE BASE_DIR "${SOURCE_DIR}")
  endif()
  file(RELATIVE_PATH relative "${SOURCE_DIR}" "${resolved}")
  string(REGEX REPLACE "/.*" "" top "${relative}")
  if(top IN_LIST layers AND relative MATCHES "/")
    set(${out} "${top}" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

set(include_pattern "^[ \t]*#[ \t]*include[ \t]*([<\"])([^>\"]+)[>\"]")
set(problems "")
foreach(folder IN LISTS layers)
  file(GLOB_RECURSE sources "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.hpp"
       "${SOURCE_DIR}/${folder}/*.cpp" "${SOURCE_DIR}/${folder}/*.cc" "${SOURCE_DIR}/${folder}/*.inc")
  foreach(source IN LISTS sources)
    file(STRINGS "${source}" includes REGEX "${include_pattern}")
    foreach(line IN LISTS includes)
      string(REGEX MATCH "${include_pattern}" matched "${line}")
      set(bracket "${CMAKE_MATCH_1}")
      set(path "${CMAKE_MATCH_2}")
      included_layer("${source}" "${bracket}" "${path}" target)
      if(NOT target STREQUAL "" AND NOT target IN_LIST allowed_${folder})
        string(APPEND problems "  ${folder}/ -> ${target}/: ${source}: ${line}\n")
      endif()
      if(NOT folder STREQUAL "platform")
        foreach(header IN LISTS system_socket_headers)
          if(path MATCHES "${header}")
            string(APPEND problems "  system header outside platform/: ${source}: ${line}\n")
          endif()
        endforeach()
      endif()
    endforeach()
    if(NOT folder STREQUAL "platform" AND source MATCHES "\\.h(pp)?$")
      file(STRINGS "${source}" globals REGEX "^[ \t]*extern ")
      foreach(line IN LISTS globals)
        string(APPEND problems "  global in a header: ${source}: ${line}\n")
      endforeach()
    endif()
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "The layers are broken:\n${problems}")
endif()
message(STATUS "layers: every include points down, no socket header outside platform/, "
               "no global in a header outside platform/")
