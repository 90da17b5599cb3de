# SPDX-License-Identifier: GPL-2.0-or-later
# bench_convert: the conversion to a stored description on raw 16-bit files,
# and the sine fit that bench_convert.sh uses to compare its output with sox's.
add_executable(bench_convert ${CMAKE_CURRENT_LIST_DIR}/bench_convert.cpp)
target_link_libraries(bench_convert PRIVATE spoolex_convert)
