# Third-party code from Debian's packages. Boost and easylogging++ are reached
# through an include folder of links of their own, because /usr/include as a
# whole must never be on the cross compiler's include path.
set(ORV_DEPS_INCLUDE ${CMAKE_BINARY_DIR}/deps-include)
file(MAKE_DIRECTORY ${ORV_DEPS_INCLUDE})
foreach(dep boost easylogging++.h)
  if(NOT EXISTS /usr/include/${dep})
    message(FATAL_ERROR "/usr/include/${dep} is missing: run scripts/setup.sh")
  endif()
  file(CREATE_LINK /usr/include/${dep} ${ORV_DEPS_INCLUDE}/${dep} SYMBOLIC)
endforeach()

add_library(orv_boost INTERFACE)
target_include_directories(orv_boost SYSTEM INTERFACE ${ORV_DEPS_INCLUDE})
target_compile_definitions(orv_boost INTERFACE BOOST_ALL_NO_LIB)

# easylogging++ 9.97, thread safe, no log file of its own default.
add_library(easylogging STATIC /usr/include/easylogging++.cc)
target_include_directories(easylogging SYSTEM PUBLIC ${ORV_DEPS_INCLUDE})
target_compile_definitions(easylogging PUBLIC ELPP_THREAD_SAFE ELPP_NO_DEFAULT_LOG_FILE ELPP_NO_CHECK_MACROS ELPP_DISABLE_DEFAULT_CRASH_HANDLING)
target_compile_options(easylogging PRIVATE -w)

# GoogleTest, built with the cross compiler.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
