# SPDX-License-Identifier: GPL-2.0-or-later
# OpenStreamRead with format recognition over arbitrary bytes placed inside a
# larger file, then every sample read.
spoolex_fuzz_target(stream SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/stream_fuzz.cpp DEPS spoolex_audio_stream)
