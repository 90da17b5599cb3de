# SPDX-License-Identifier: GPL-2.0-or-later
# Small helpers shared by the folders' CMakeLists.txt files.

# Adds a folder only once it has a CMakeLists.txt, so that modules can be
# brought in one at a time.
function(spoolex_add_subdirectory dir)
  if(EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt")
    add_subdirectory(${dir})
  endif()
endfunction()

# spoolex_module(<target> SOURCES ... HEADERS ... [DEPS ...] [PRIVATE_DEPS ...])
# A static library. Includes are written from the project root
# ("platform/platform.h"), but no target sees the whole tree: the module's
# own sources see every header of its folder, and a target that links the
# module sees only its public HEADERS (file names in its folder). DEPS are
# linked publicly (their public headers reach the module's users too),
# PRIVATE_DEPS only for the module's own sources. So a header that a module
# may not use does not compile, rather than merely failing to link.
function(spoolex_module target)
  cmake_parse_arguments(M "" "" "SOURCES;HEADERS;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${target} STATIC ${M_SOURCES})
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  # The public headers, linked one by one under their paths from the root.
  set(public ${PROJECT_BINARY_DIR}/include/public/${target})
  file(REMOVE_RECURSE ${public})
  file(MAKE_DIRECTORY ${public}/${folder})
  foreach(header ${M_HEADERS})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${header} ${public}/${folder}/${header} SYMBOLIC)
  endforeach()
  target_include_directories(${target} PUBLIC ${public})
  spoolex_own_headers(${target})
  target_link_libraries(${target} PUBLIC ${M_DEPS} PRIVATE ${M_PRIVATE_DEPS})
endfunction()

# spoolex_check_includes()
# Fails the configuration when a file of the current folder includes another
# by a path that climbs out of a folder ("../pack/pack_internal.h") or an
# absolute one: the compiler would find it beside the including file,
# whatever the target may see, so such an include would pass the fences.
function(spoolex_check_includes)
  file(GLOB files ${CMAKE_CURRENT_SOURCE_DIR}/*.h ${CMAKE_CURRENT_SOURCE_DIR}/*.c ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(file ${files})
    file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"(/|([^\"]*/)?\\.\\./)")
    if(lines)
      message(FATAL_ERROR "${file}: include by a path that reaches past the module fences: ${lines}")
    endif()
  endforeach()
endfunction()

# spoolex_own_headers(<target>)
# Lets the target's sources include every header of the folder that defines
# the target, written from the project root, and nothing else of the tree
# beyond the public headers of what the target links.
function(spoolex_own_headers target)
  spoolex_check_includes()
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(own ${PROJECT_BINARY_DIR}/include/own/${target})
  file(REMOVE_RECURSE ${own})
  get_filename_component(parent ${own}/${folder} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${own}/${folder} SYMBOLIC)
  target_include_directories(${target} PRIVATE ${own})
endfunction()

# spoolex_interface(<target> HEADERS ...)
# A header-only interface (records and entry points that a codec library of
# this project publishes): linking the target makes the HEADERS visible under
# their paths from the root, as spoolex_module does for its public headers.
function(spoolex_interface target)
  cmake_parse_arguments(I "" "" "HEADERS" ${ARGN})
  spoolex_check_includes()
  add_library(${target} INTERFACE)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(public ${PROJECT_BINARY_DIR}/include/public/${target})
  file(REMOVE_RECURSE ${public})
  file(MAKE_DIRECTORY ${public}/${folder})
  foreach(header ${I_HEADERS})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${header} ${public}/${folder}/${header} SYMBOLIC)
  endforeach()
  target_include_directories(${target} INTERFACE ${public})
endfunction()
