# SPDX-License-Identifier: GPL-2.0-or-later
# Ogg Vorbis decoding and encoding through the format module; bench_ogg.sh
# runs it against oggdec and oggenc.
add_executable(bench_ogg ${CMAKE_CURRENT_LIST_DIR}/ogg_bench.cpp)
target_link_libraries(bench_ogg PRIVATE spoolex_ogg_vorbis spoolex_sample_buffer spoolex_codec_libraries)
