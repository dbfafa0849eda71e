# Cross build for Windows x64 with mingw-w64 (posix thread model), run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)

# ccache, when present, shares compiled objects between build folders and work trees.
find_program(ORV_CCACHE ccache)
# Paths below the folder that holds the source tree are hashed relative to it,
# so that sibling work trees hit the same cache entries.
if(ORV_CCACHE)
  get_filename_component(ORV_CCACHE_BASE "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
  set(CMAKE_C_COMPILER_LAUNCHER env CCACHE_BASEDIR=${ORV_CCACHE_BASE} ${ORV_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER env CCACHE_BASEDIR=${ORV_CCACHE_BASE} ${ORV_CCACHE})
endif()
