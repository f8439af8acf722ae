# One name, one target: tests/<name>_test.cpp, bench/<name>_bench.cpp,
# fuzz/<name>_fuzz.cpp. Extra arguments after LIBS are linked in; LABELS
# tags a test (the label "threads" puts it in the ThreadSanitizer run).
# FRAMEWORK_ONLY links the framework and not the package, which the test then
# finds built beside itself, as a host that loads it at run time does.

function(corvina_add_test name)
  cmake_parse_arguments(ARG "FRAMEWORK_ONLY" "" "LIBS;LABELS" ${ARGN})
  add_executable(${name}_test ${name}_test.cpp)
  if(ARG_FRAMEWORK_ONLY)
    target_link_libraries(${name}_test PRIVATE CorvinaFramework GTest::gtest_main GTest::gmock ${ARG_LIBS})
    add_dependencies(${name}_test Corvina)
  else()
    target_link_libraries(${name}_test PRIVATE Corvina GTest::gtest_main GTest::gmock ${ARG_LIBS})
  endif()
  gtest_discover_tests(${name}_test
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES LABELS "${ARG_LABELS}"
    DISCOVERY_TIMEOUT 60)
  if("threads" IN_LIST ARG_LABELS)
    set_property(GLOBAL APPEND PROPERTY CORVINA_THREADS_TESTS ${name}_test)
  endif()
endfunction()

function(corvina_add_bench name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  add_executable(${name}_bench ${name}_bench.cpp)
  target_link_libraries(${name}_bench PRIVATE Corvina benchmark::benchmark ${ARG_LIBS})
endfunction()

function(corvina_add_fuzz name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  add_executable(${name}_fuzz ${name}_fuzz.cpp)
  target_compile_options(${name}_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name}_fuzz PRIVATE Corvina ${ARG_LIBS})
  set_property(GLOBAL APPEND PROPERTY CORVINA_FUZZERS ${name}_fuzz)
endfunction()
