# Every subsystem folder under src/ is one static library named vela_<area>; its
# sources are the folder's .cpp files, so adding a file needs no CMake edit.
set(VELA_WARNINGS -Wall -Wextra -Werror)
# Lock discipline is checked wherever the compiler can (util/thread_annotations.h).
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  list(APPEND VELA_WARNINGS -Wthread-safety)
endif()
# GCC 12's middle end, at -O3, falsely reports overlapping or oversized copies inside
# inlined library code (`"literal" + std::string`, comparing byte vectors). The agent's
# own sources are written around it; test and benchmark code is spared these warnings.
set(VELA_TEST_WARNINGS ${VELA_WARNINGS})
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND VELA_TEST_WARNINGS -Wno-restrict -Wno-stringop-overread -Wno-stringop-overflow)
endif()

function(vela_area name dir)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${dir}/*.cpp)
  if(sources)
    add_library(vela_${name} STATIC ${sources})
    target_include_directories(vela_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_compile_options(vela_${name} PRIVATE ${VELA_WARNINGS})
    target_link_libraries(vela_${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(vela_${name} INTERFACE)
    target_include_directories(vela_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(vela_${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# One GoogleTest executable per test folder: tests/<dir>/*.cpp -> test_<name>.
function(vela_test name dir)
  cmake_parse_arguments(ARG "" "RESOURCE_LOCK" "DEPS;LABELS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/${dir}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(test_${name} ${sources})
  target_compile_options(test_${name} PRIVATE ${VELA_TEST_WARNINGS})
  target_include_directories(test_${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(test_${name} PRIVATE ${ARG_DEPS} vela_test_support GTest::gtest GTest::gmock GTest::gtest_main)
  # Tests that share a fixed resource (a well-known port) name it as a lock. Empty
  # values would vanish from the list and shift the pairs, so only set ones go in.
  # Without labels of its own a suite is labelled with its name, so a build that compiles
  # only some suites (the ThreadSanitizer one) runs just those with ctest -L. Only one
  # label survives test discovery: a second would be read as a property name.
  set(test_properties ENVIRONMENT "VELA_NO_UI=1")
  if(ARG_LABELS)
    list(APPEND test_properties LABELS "${ARG_LABELS}")
  else()
    list(APPEND test_properties LABELS ${name})
  endif()
  if(ARG_RESOURCE_LOCK)
    list(APPEND test_properties RESOURCE_LOCK ${ARG_RESOURCE_LOCK})
  endif()
  gtest_discover_tests(test_${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${test_properties})
endfunction()
