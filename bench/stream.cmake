# SPDX-License-Identifier: GPL-2.0-or-later
# bench_stream: reads one WAV file through ReadShorts and through a plain
# libsndfile sf_read_short loop, in the same run.
add_executable(bench_stream ${CMAKE_CURRENT_SOURCE_DIR}/bench_stream_read.cpp)
target_link_libraries(bench_stream PRIVATE spoolex_audio_stream PkgConfig::SNDFILE)
