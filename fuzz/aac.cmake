# SPDX-License-Identifier: GPL-2.0-or-later
# The AAC header probe and AAC open for reading on arbitrary bytes inside a
# stream window. Seeds in corpus/aac/ were made by ffmpeg (short ADTS
# streams), one behind an ID3v2 tag and one rewritten as ADIF.
spoolex_fuzz_target(aac SOURCE aac_read_fuzz.cpp
  DEPS spoolex_aac spoolex_codec_libraries)
