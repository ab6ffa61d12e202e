# The fuzz entry points built with the ordinary compiler and without libFuzzer, as tests: each
# replays the built-in seeds, the archives made by real writers (when python3 is there; the
# decoders' target: its saved corpus) and 40 mutated copies of every one of them, from fixed
# seeds. Included from tests/CMakeLists.txt.
set(vormic_fuzz_dir ${CMAKE_CURRENT_LIST_DIR})

find_package(Python3 COMPONENTS Interpreter QUIET)
set(vormic_peer_seeds ${CMAKE_CURRENT_BINARY_DIR}/fuzz-peer-seeds)
if(Python3_Interpreter_FOUND)
  add_test(NAME fuzz_peer_seeds
           COMMAND ${Python3_EXECUTABLE} ${vormic_fuzz_dir}/make_peer_seeds.py ${vormic_peer_seeds})
  set_tests_properties(fuzz_peer_seeds PROPERTIES FIXTURES_SETUP fuzz_peer_seeds)
endif()

function(add_fuzz_replay name)
  cmake_parse_arguments(R "PEER_SEEDS" "" "LIBS;ARGS" ${ARGN})
  add_executable(${name}_replay ${vormic_fuzz_dir}/${name}.cpp ${vormic_fuzz_dir}/fuzz_support.cpp
                                ${vormic_fuzz_dir}/replay_main.cpp
                                ${vormic_fuzz_dir}/../tests/test_run.cpp)
  target_include_directories(${name}_replay PRIVATE ${vormic_fuzz_dir})
  target_include_directories(${name}_replay SYSTEM PRIVATE ${vormic_fuzz_dir}/../tests)
  target_link_libraries(${name}_replay PRIVATE ${R_LIBS})
  vormic_warnings(${name}_replay)
  set(args --builtin ${R_ARGS} --mutations 40 --save ${CMAKE_CURRENT_BINARY_DIR}/${name}-failing.bin)
  if(R_PEER_SEEDS AND Python3_Interpreter_FOUND)
    add_test(NAME ${name}_replay COMMAND ${name}_replay ${args} ${vormic_peer_seeds})
    set_tests_properties(${name}_replay PROPERTIES FIXTURES_REQUIRED fuzz_peer_seeds)
  else()
    add_test(NAME ${name}_replay COMMAND ${name}_replay ${args})
  endif()
endfunction()

add_fuzz_replay(archive_walk_fuzz LIBS engine PEER_SEEDS)
add_fuzz_replay(codec_diff_fuzz LIBS engine ARGS --deflate PEER_SEEDS)
add_fuzz_replay(decoders_fuzz LIBS engine ARGS ${vormic_fuzz_dir}/saved/decoders)
add_fuzz_replay(jobs_diff_fuzz LIBS engine PEER_SEEDS)
if(TARGET etag)
  add_fuzz_replay(etag_fuzz LIBS etag engine PEER_SEEDS)
endif()
