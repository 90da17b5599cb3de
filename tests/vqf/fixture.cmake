# SPDX-License-Identifier: GPL-2.0-or-later
# The TwinVQ fixture libraries, libtvqdec_fixture.so and libtvqenc_fixture.so,
# for the VQF tests and fuzz target only: never installed, and named so that
# no search for the real libraries finds them. The tests load them by path.
if(NOT TARGET spoolex_tvqdec_fixture)
  foreach(kind dec enc)
    add_library(spoolex_tvq${kind}_fixture SHARED ${CMAKE_CURRENT_LIST_DIR}/twinvq_fixture.c)
    set_target_properties(spoolex_tvq${kind}_fixture PROPERTIES
      OUTPUT_NAME tvq${kind}_fixture C_VISIBILITY_PRESET hidden)
    target_link_libraries(spoolex_tvq${kind}_fixture PRIVATE spoolex_twinvq_interface m)
  endforeach()
  target_compile_definitions(spoolex_tvqenc_fixture PRIVATE FIXTURE_ENCODER)
endif()
# The fixture's paths for a target that loads them.
function(spoolex_use_tvq_fixture target)
  add_dependencies(${target} spoolex_tvqdec_fixture spoolex_tvqenc_fixture)
  target_compile_definitions(${target} PRIVATE
    TVQ_FIXTURE_DECODER="$<TARGET_FILE:spoolex_tvqdec_fixture>"
    TVQ_FIXTURE_ENCODER="$<TARGET_FILE:spoolex_tvqenc_fixture>")
endfunction()
