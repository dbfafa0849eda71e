# Every cross-compiled test runs under Wine in the test run's own environment:
# one prefix, one wineserver and one Xvfb display per run, set up by the
# fixture below before the first test and ended after the last.
set(ORV_WINE_STATE ${CMAKE_BINARY_DIR}/wine-env)

add_test(NAME wine_env_start COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-env.sh start)
add_test(NAME wine_env_stop COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-env.sh stop)
set_tests_properties(wine_env_start PROPERTIES FIXTURES_SETUP wine_env ENVIRONMENT "ORV_WINE_STATE=${ORV_WINE_STATE}" TIMEOUT 180)
set_tests_properties(wine_env_stop PROPERTIES FIXTURES_CLEANUP wine_env ENVIRONMENT "ORV_WINE_STATE=${ORV_WINE_STATE}")

# Marks tests (by name) as needing the Wine environment.
function(orv_wine_test_properties)
  set_tests_properties(${ARGN} PROPERTIES
    FIXTURES_REQUIRED wine_env
    ENVIRONMENT "ORV_WINE_STATE=${ORV_WINE_STATE};ORV_SOURCE_DIR=${CMAKE_SOURCE_DIR};ORV_BINARY_DIR=${CMAKE_BINARY_DIR}"
    TIMEOUT 600)
endfunction()

# orv_add_gtest(NAME SOURCES src... LIBS lib...): a GoogleTest program run under Wine.
function(orv_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE orv_flags ${T_LIBS} gtest gmock)
  target_link_options(${name} PRIVATE -mconsole)
  # GoogleTest's main is narrow; the project's programs are wide (-municode).
  target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/gtest_wmain.cpp)
  add_test(NAME ${name} COMMAND ${name})
  orv_wine_test_properties(${name})
endfunction()
