# Small helpers shared by the folders' CMakeLists.txt files.

# Adds a folder only once it has a CMakeLists.txt, so that modules can be
# brought in one at a time.
function(spoolex_add_subdirectory dir)
  if(EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt")
    add_subdirectory(${dir})
  endif()
endfunction()

# spoolex_module(<target> SOURCES ... [DEPS ...] [PRIVATE_DEPS ...])
# A static library whose public header lives in its folder. Its includes are
# written from the project root ("platform/platform.h").
function(spoolex_module target)
  cmake_parse_arguments(M "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${target} STATIC ${M_SOURCES})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PUBLIC ${M_DEPS} PRIVATE ${M_PRIVATE_DEPS})
endfunction()
