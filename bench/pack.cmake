# SPDX-License-Identifier: GPL-2.0-or-later
# bench_pack_bound: the in-process bound of unpacking a pack, which
# bench_pack.sh sets beside spoolex and its peers.
add_executable(bench_pack_bound ${CMAKE_CURRENT_LIST_DIR}/pack_bound.cpp)
target_link_libraries(bench_pack_bound PRIVATE spoolex_pack)
