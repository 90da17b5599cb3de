# SPDX-License-Identifier: GPL-2.0-or-later
# AAC decoding and encoding through the format module; bench_aac.sh runs it
# against the faad command and ffmpeg's AAC encoder.
add_executable(bench_aac ${CMAKE_CURRENT_LIST_DIR}/aac_bench.cpp)
target_link_libraries(bench_aac PRIVATE spoolex_aac spoolex_codec_libraries)
add_dependencies(bench_aac mp4enc)
