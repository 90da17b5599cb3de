# SPDX-License-Identifier: GPL-2.0-or-later
# The project's TwinVQ decoder (codecs/twinvq) on arbitrary frame bits after
# a valid header, through the VQF layer.
spoolex_fuzz_target(tvq SOURCE tvq_decode_fuzz.cpp
  DEPS spoolex_vqf spoolex_codec_libraries spoolex_twinvq_interface)
if(SPOOLEX_FUZZ)
  add_dependencies(fuzz_tvq tvqdec)
else()
  add_dependencies(fuzz_tvq_replay tvqdec)
endif()
