# Every cross-compiled test runs under Wine in an environment of its own: a
# prefix, a persistent wineserver and an Xvfb display (scripts/wine-env.sh).
# There are as many environments as tests run at once; CTest hands them out
# as resources of the type "wine_env" (one slot each), so that a test that
# shows windows, clicks or installs never shares a display, a registry or a
# program folder with another. The fixture below starts the whole pool
# before the first test and ends it after the last.
cmake_host_system_information(RESULT ORV_HOST_CORES QUERY NUMBER_OF_LOGICAL_CORES)
if(NOT ORV_HOST_CORES GREATER 0)
  set(ORV_HOST_CORES 1)
endif()
set(ORV_TEST_ENVIRONMENTS ${ORV_HOST_CORES} CACHE STRING
    "Wine environments of the tests: the most tests under Wine that run at once")
set(ORV_WINE_POOL ${CMAKE_BINARY_DIR}/wine-env)

# The resource file: environments "0" .. "N-1". Setting the
# variable here, in the top folder's scope, makes ctest run in the build
# folder use it without being told.
set(orv_envs "")
math(EXPR orv_last "${ORV_TEST_ENVIRONMENTS} - 1")
foreach(i RANGE ${orv_last})
  if(i GREATER 0)
    string(APPEND orv_envs ",")
  endif()
  string(APPEND orv_envs "{\"id\": \"${i}\", \"slots\": 1}")
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/wine-environments.json
     "{\"version\": {\"major\": 1, \"minor\": 0}, \"local\": [{\"wine_env\": [${orv_envs}]}]}\n")
set(CTEST_RESOURCE_SPEC_FILE ${CMAKE_BINARY_DIR}/wine-environments.json)

add_test(NAME wine_env_start COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-env.sh start-pool ${ORV_TEST_ENVIRONMENTS})
add_test(NAME wine_env_stop COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-env.sh stop-pool)
set_tests_properties(wine_env_start PROPERTIES FIXTURES_SETUP wine_env ENVIRONMENT "ORV_WINE_POOL=${ORV_WINE_POOL}" TIMEOUT 240)
set_tests_properties(wine_env_stop PROPERTIES FIXTURES_CLEANUP wine_env ENVIRONMENT "ORV_WINE_POOL=${ORV_WINE_POOL}")

# Marks tests (by name) as needing a Wine environment of their own.
function(orv_wine_test_properties)
  set_tests_properties(${ARGN} PROPERTIES
    FIXTURES_REQUIRED wine_env
    RESOURCE_GROUPS "wine_env:1"
    ENVIRONMENT "ORV_WINE_POOL=${ORV_WINE_POOL};ORV_SOURCE_DIR=${CMAKE_SOURCE_DIR};ORV_BINARY_DIR=${CMAKE_BINARY_DIR}"
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
