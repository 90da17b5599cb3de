# SPDX-License-Identifier: GPL-2.0-or-later
# VQF open for reading on arbitrary bytes after the 12-byte id, with the
# TwinVQ fixture libraries of tests/vqf.
include(${PROJECT_SOURCE_DIR}/tests/vqf/fixture.cmake)
spoolex_fuzz_target(vqf SOURCE vqf_read_fuzz.cpp
  DEPS spoolex_vqf spoolex_codec_libraries)
if(SPOOLEX_FUZZ)
  spoolex_use_tvq_fixture(fuzz_vqf)
else()
  spoolex_use_tvq_fixture(fuzz_vqf_replay)
endif()
