# SPDX-License-Identifier: GPL-2.0-or-later
# The project's TwinVQ encoder and decoder (codecs/twinvq) in turn, on
# arbitrary samples at every mode, through the audio stream layer.
spoolex_fuzz_target(tvq_roundtrip SOURCE tvq_roundtrip_fuzz.cpp DEPS spoolex_audio_stream spoolex_twinvq_interface)
if(SPOOLEX_FUZZ)
  add_dependencies(fuzz_tvq_roundtrip tvqdec tvqenc)
else()
  add_dependencies(fuzz_tvq_roundtrip_replay tvqdec tvqenc)
endif()
