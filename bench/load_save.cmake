# SPDX-License-Identifier: MIT
# Load/save benchmark: a generator of index files, one timing program per
# reader (vorla, SimpleIni, Boost.PropertyTree) so that each reports its own
# peak memory, the scaling benchmark of the temporary-record sweep, the
# cost of the writer lock to a save, and of new data files to a save.
# bench/run.sh builds them in Release and prints the tables.

function(vorla_bench name source)
  add_executable(${name} ${CMAKE_CURRENT_SOURCE_DIR}/${source})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  vorla_warnings(${name})
endfunction()

vorla_bench(bench_gen_index gen_index.cpp)

vorla_bench(bench_load_save_vorla load_save_vorla.cpp)
target_link_libraries(bench_load_save_vorla PRIVATE vorla::vorla)

vorla_bench(bench_clean_temp clean_temp.cpp)
target_link_libraries(bench_clean_temp PRIVATE vorla::vorla)

vorla_bench(bench_save_lock save_lock.cpp)
target_link_libraries(bench_save_lock PRIVATE vorla::vorla)

vorla_bench(bench_save_new_files save_new_files.cpp)
target_link_libraries(bench_save_new_files PRIVATE vorla::vorla)
vorla_bench(bench_save_small save_small.cpp)
target_link_libraries(bench_save_small PRIVATE vorla::vorla)

vorla_bench(bench_load_save_ptree load_save_ptree.cpp)
target_link_libraries(bench_load_save_ptree PRIVATE Boost::headers)

find_path(VORLA_SIMPLEINI_INCLUDE_DIR SimpleIni.h)
find_library(VORLA_SIMPLEINI_LIBRARY simpleini)
if(VORLA_SIMPLEINI_INCLUDE_DIR AND VORLA_SIMPLEINI_LIBRARY)
  vorla_bench(bench_load_save_simpleini load_save_simpleini.cpp)
  target_include_directories(bench_load_save_simpleini SYSTEM PRIVATE
    ${VORLA_SIMPLEINI_INCLUDE_DIR})
  target_link_libraries(bench_load_save_simpleini PRIVATE
    ${VORLA_SIMPLEINI_LIBRARY})
else()
  message(STATUS "SimpleIni not found (Debian: libsimpleini-dev); "
                 "bench_load_save_simpleini is not built")
endif()

vorla_bench(bench_unordered_items unordered_items.cpp)
target_link_libraries(bench_unordered_items PRIVATE vorla::vorla)
