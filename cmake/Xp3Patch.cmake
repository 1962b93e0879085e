# Helpers shared by the subsystem CMakeLists.

# xp3patch_library(name SOURCES... [LIBS ...]): a static library with the
# project's warnings.
function(xp3patch_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_compile_options(${name} PRIVATE ${XP3PATCH_WARNINGS})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${A_LIBS})
endfunction()

# xp3patch_test(name SOURCES... [LIBS ...] [DEFINITIONS ...]): a GoogleTest
# program, registered with ctest (run under Wine in the Windows build).
function(xp3patch_test name)
  cmake_parse_arguments(A "" "TIMEOUT" "SOURCES;LIBS;DEFINITIONS" ${ARGN})
  if(XP3PATCH_FUZZ)
    return()  # the fuzzing build makes fuzz targets only
  endif()
  add_executable(${name} ${A_SOURCES})
  target_compile_options(${name} PRIVATE ${XP3PATCH_WARNINGS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${A_LIBS} gtest gtest_main)
  target_compile_definitions(${name} PRIVATE ${A_DEFINITIONS})
  add_test(NAME ${name} COMMAND ${name})
  if(A_TIMEOUT)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${A_TIMEOUT})
  else()
    set_tests_properties(${name} PROPERTIES TIMEOUT 300)
  endif()
endfunction()

# xp3patch_fuzzer(name SOURCES... [LIBS ...]): a fuzz target, that is sources
# defining LLVMFuzzerTestOneInput. Its seed corpus and regression inputs are
# the files of tests/fuzz/<name>/.
#  - In the fuzzing build (XP3PATCH_FUZZ=ON, clang) it becomes a libFuzzer
#    program, which scripts/fuzz.sh runs.
#  - In the native sanitizer build it becomes <name>_replay, a program that
#    feeds every committed input to the target once, registered with ctest,
#    so that a regression shows without fuzzing.
# The Windows build has no fuzz targets.
function(xp3patch_fuzzer name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  if(WIN32)
    return()
  endif()
  if(XP3PATCH_FUZZ)
    add_executable(${name} ${A_SOURCES})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
    add_dependencies(fuzzers ${name})
    set_property(GLOBAL APPEND PROPERTY XP3PATCH_FUZZERS ${name})
    set(target ${name})
  else()
    set(target ${name}_replay)
    add_executable(${target} ${A_SOURCES} ${CMAKE_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
    add_test(NAME ${target} COMMAND ${target} ${CMAKE_SOURCE_DIR}/tests/fuzz/${name})
    set_tests_properties(${target} PROPERTIES TIMEOUT 600)
  endif()
  target_compile_options(${target} PRIVATE ${XP3PATCH_WARNINGS})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE ${A_LIBS})
endfunction()
