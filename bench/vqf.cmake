# SPDX-License-Identifier: GPL-2.0-or-later
# VQF decoding and encoding through the format module with the project's
# TwinVQ libraries; bench_vqf.sh times it against oggdec and oggenc.
add_executable(bench_vqf ${CMAKE_CURRENT_LIST_DIR}/vqf_bench.cpp)
target_link_libraries(bench_vqf PRIVATE spoolex_vqf spoolex_codec_libraries)
add_dependencies(bench_vqf tvqdec tvqenc)
