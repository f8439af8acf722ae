# One name, one target: tests/<name>_test.cpp, bench/<name>_bench.cpp,
# fuzz/<name>_fuzz.cpp. Extra arguments after LIBS are linked in; LABELS
# tags a test (the label "threads" puts it in the ThreadSanitizer run).
# FRAMEWORK_ONLY links the framework and not the package, which the test then
# finds built beside itself, as a host that loads it at run time does.

function(corvina_add_test name)
  cmake_parse_arguments(ARG "FRAMEWORK_ONLY" "" "LIBS;LABELS" ${ARGN})
  add_executable(${name}_test ${name}_test.cpp)
  if(ARG_FRAMEWORK_ONLY)
    target_link_libraries(${name}_test PRIVATE corvina_test_support CorvinaFramework GTest::gtest_main GTest::gmock ${ARG_LIBS})
    add_dependencies(${name}_test Corvina)
  else()
    target_link_libraries(${name}_test PRIVATE corvina_test_support Corvina GTest::gtest_main GTest::gmock ${ARG_LIBS})
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
  target_link_libraries(${name}_bench PRIVATE corvina_test_support Corvina benchmark::benchmark ${ARG_LIBS})
endfunction()

function(corvina_add_fuzz name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  add_executable(${name}_fuzz ${name}_fuzz.cpp)
  target_compile_options(${name}_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name}_fuzz PRIVATE corvina_test_support Corvina ${ARG_LIBS})
  set_property(GLOBAL APPEND PROPERTY CORVINA_FUZZERS ${name}_fuzz)
endfunction()

# Windows names a DLL after its target, without the "lib" that MinGW's CMake
# puts first: Corvina.dll, CorvinaFramework.dll, stable-diffusion.dll.
function(corvina_windows_dll_name target)
  if(WIN32)
    set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "lib")
  endif()
endfunction()

# A module definition file (EXPORTS and the names) from the global names of
# a linker version script, so both systems export the same list.
function(corvina_def_from_version_script map def)
  file(READ ${map} text)
  string(REGEX REPLACE ".*global:([^}]*)local:.*" "\\1" names "${text}")
  string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" names "${names}")
  list(JOIN names "\n  " lines)
  file(WRITE ${def} "EXPORTS\n  ${lines}\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${map})
endfunction()

# Header-only packages found on the build machine point at /usr/include,
# whose C headers must never reach a MinGW build: their folder (subdir) is
# offered through a link of its own instead.
function(corvina_isolate_headers target subdir)
  if(NOT (WIN32 AND CMAKE_HOST_UNIX))
    return()
  endif()
  get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
  string(MAKE_C_IDENTIFIER ${target} name)
  set(isolated ${CMAKE_BINARY_DIR}/isolated-headers/${name})
  foreach(dir IN LISTS dirs)
    if(EXISTS ${dir}/${subdir})
      file(MAKE_DIRECTORY ${isolated})
      file(CREATE_LINK ${dir}/${subdir} ${isolated}/${subdir} SYMBOLIC)
      set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${isolated})
      return()
    endif()
  endforeach()
endfunction()

# A build-tree path as a test sees it when it runs: under Wine the build
# machine's root folder is drive Z:.
function(corvina_run_path out path)
  if(WIN32 AND CMAKE_HOST_UNIX)
    set(${out} "Z:${path}" PARENT_SCOPE)
  else()
    set(${out} "${path}" PARENT_SCOPE)
  endif()
endfunction()
