# Delay-import libraries for the system DLLs that are not on the system's list
# of known DLLs. A program built with orv_delay_load_system_dlls(target) loads
# them at first use instead of at start-up, after it has restricted the DLL
# search to the system folder (common/dll_search.h): a DLL of the same name
# beside the program (say, in a downloads folder) is never loaded.
#
# The libraries are named like the import libraries they replace
# (libgdiplus.a ...) and found first on the program's library path, so the
# libraries that link "gdiplus" need no change.
include_guard(GLOBAL)

set(ORV_DELAYLOAD_DLLS gdiplus oleacc userenv psapi comctl32 msimg32 uxtheme dwmapi version winmm)
# A cache entry, so that it is seen in every folder that calls the function
# below (the include guard keeps later includes from setting it again).
set(ORV_DELAYLOAD_DIR ${CMAKE_BINARY_DIR}/delayload CACHE INTERNAL "delay-import libraries")
file(MAKE_DIRECTORY ${ORV_DELAYLOAD_DIR})
find_program(ORV_DLLTOOL x86_64-w64-mingw32-dlltool REQUIRED)
find_program(ORV_NM x86_64-w64-mingw32-nm REQUIRED)
find_program(ORV_AR x86_64-w64-mingw32-ar REQUIRED)

foreach(dll ${ORV_DELAYLOAD_DLLS})
  set(import_lib ${CMAKE_FIND_ROOT_PATH}/lib/lib${dll}.a)
  set(delay_lib ${ORV_DELAYLOAD_DIR}/lib${dll}.a)
  if(EXISTS ${delay_lib} AND NOT ${import_lib} IS_NEWER_THAN ${delay_lib})
    continue()
  endif()
  # The functions of the import library become the exports of a definition
  # file (data exports cannot be delay-loaded and are left out).
  execute_process(COMMAND ${ORV_NM} --defined-only ${import_lib}
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE nm_result)
  if(NOT nm_result EQUAL 0)
    message(FATAL_ERROR "cannot read ${import_lib}")
  endif()
  string(REGEX MATCHALL "[0-9a-f]+ T [^\n]+" functions "${symbols}")
  set(def "LIBRARY ${dll}.dll\nEXPORTS\n")
  foreach(line ${functions})
    string(REGEX REPLACE "^[0-9a-f]+ T " "" name "${line}")
    # Interface ids exported by a DLL are data that the import library lists
    # like functions; a delay-load thunk in their place would be read as the
    # GUID. They come from libuuid instead.
    if(name MATCHES "^(IID|CLSID|LIBID|DIID|GUID)_")
      continue()
    endif()
    string(APPEND def "${name}\n")
  endforeach()
  file(WRITE ${ORV_DELAYLOAD_DIR}/${dll}.def "${def}")
  # Relative names keep the build folder out of the stubs' symbol names.
  execute_process(COMMAND ${ORV_DLLTOOL} --input-def ${dll}.def --dllname ${dll}.dll
                          --output-delaylib lib${dll}.a
                  WORKING_DIRECTORY ${ORV_DELAYLOAD_DIR} RESULT_VARIABLE dlltool_result)
  if(NOT dlltool_result EQUAL 0)
    message(FATAL_ERROR "cannot make the delay-import library of ${dll}.dll")
  endif()
  # Members that are no import stubs (the GUIDs and constants that come with
  # some import libraries) are carried over unchanged.
  execute_process(COMMAND ${ORV_AR} t ${import_lib} OUTPUT_VARIABLE members)
  string(REPLACE "\n" ";" members "${members}")
  set(extract_dir ${ORV_DELAYLOAD_DIR}/${dll}-members)
  foreach(member ${members})
    if(member STREQUAL "" OR member MATCHES "^lib${dll}[hst][0-9]*\\.o$")
      continue()
    endif()
    file(MAKE_DIRECTORY ${extract_dir})
    execute_process(COMMAND ${ORV_AR} x ${import_lib} ${member} WORKING_DIRECTORY ${extract_dir})
    execute_process(COMMAND ${ORV_AR} q ${delay_lib} ${extract_dir}/${member})
  endforeach()
endforeach()

function(orv_delay_load_system_dlls target)
  target_link_directories(${target} BEFORE PRIVATE ${ORV_DELAYLOAD_DIR})
endfunction()
