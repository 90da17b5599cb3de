# SPDX-License-Identifier: GPL-2.0-or-later
# Ogg Vorbis open for reading on arbitrary bytes inside a stream window.
spoolex_fuzz_target(ogg SOURCE ogg_read_fuzz.cpp
  DEPS spoolex_ogg_vorbis spoolex_sample_buffer spoolex_codec_libraries)
