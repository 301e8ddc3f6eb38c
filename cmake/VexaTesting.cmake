# vexa_add_gtest(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
# Builds one GoogleTest executable and registers its tests with CTest.
# Tests run with the build directory's bin/ on hand: VEXA_BIN_DIR names it,
# and link the shared helpers of tests/support (vexa_test_support).
include(GoogleTest)
function(vexa_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} vexa_test_support GTest::gtest GTest::gmock
    GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  # One variable per property: a list given to gtest_discover_tests would be
  # split into property names.
  set(props ENVIRONMENT "VEXA_BIN_DIR=${CMAKE_BINARY_DIR}/bin"
    ENVIRONMENT_MODIFICATION "VEXA_SOURCE_DIR=set:${PROJECT_SOURCE_DIR}")
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  if(CMAKE_CROSSCOMPILING)
    # A Windows test program runs under CMAKE_CROSSCOMPILING_EMULATOR (Wine,
    # scripts/wine-run.sh) as one test: listing its cases would start Wine
    # once more at build time.
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ${props})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
  endif()
endfunction()
