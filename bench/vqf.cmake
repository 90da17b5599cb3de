# VQF decoding and encoding through the stream layer with the project's
# TwinVQ libraries; bench_vqf.sh times it.
add_executable(bench_vqf ${CMAKE_CURRENT_LIST_DIR}/vqf_bench.cpp)
target_link_libraries(bench_vqf PRIVATE spoolex_audio_stream)
add_dependencies(bench_vqf tvqdec tvqenc)
