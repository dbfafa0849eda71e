# orv_program_and_test_build(NAME LIBRARY): the shipped program NAME, which
# links orv_no_test_hooks and so reads no test hook, and its test build
# NAME_testbuild, which reads them; both are linked from LIBRARY (nothing is
# compiled twice), stripped, and load the system DLLs that are not known
# DLLs at first use, from the system folder only.
include(${CMAKE_CURRENT_LIST_DIR}/delayload.cmake)

function(orv_program_and_test_build name library)
  foreach(program ${name} ${name}_testbuild)
    add_executable(${program} WIN32)
    target_link_libraries(${program} PRIVATE ${library})
    target_link_options(${program} PRIVATE -s)
    orv_delay_load_system_dlls(${program})
  endforeach()
  target_link_libraries(${name} PRIVATE orv_no_test_hooks)
endfunction()
