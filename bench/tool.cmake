# SPDX-License-Identifier: MIT
# Benchmark of the vorla program: check, show --json and stats on a
# generated workspace of a million records and 100,000 data files.
#   cmake -DVORLA_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release ...
#   bench/bench_tool [RECORDS [FILES [RUNS [DIR]]]]
if(TARGET vorla_cli)
  add_executable(bench_tool ${CMAKE_CURRENT_SOURCE_DIR}/tool_bench.cpp)
  target_compile_definitions(bench_tool PRIVATE
    VORLA_TOOL_PATH="$<TARGET_FILE:vorla_cli>")
  add_dependencies(bench_tool vorla_cli)
  vorla_warnings(bench_tool)
endif()
