# The Windows build's tests, run under Wine: the programs' and the library's
# unit tests from the same sources as on Linux, GoogleTest built from
# Debian's sources (googletest), and the Windows files' own checks. The
# Windows programs against the Linux simulated device are tested from the
# Linux build (windows_test).
set(RAWCAN_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows tests")
if(NOT EXISTS ${RAWCAN_GTEST_SOURCE}/CMakeLists.txt)
  message(STATUS "GoogleTest sources not found (Debian: googletest): Windows tests not built")
  return()
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${RAWCAN_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# One test per executable: a Wine start costs about half a second.
function(rawcan_windows_test name)
  add_executable(${name} ${ARGN})
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE gtest gtest_main)
  add_test(NAME ${name} COMMAND ${name})
endfunction()

rawcan_windows_test(device_test connect_test.cpp frame_line_test.cpp run_control_test.cpp)
target_link_libraries(device_test PRIVATE device)
rawcan_windows_test(loop_test reader_loop_test.cpp writer_loop_test.cpp)
target_link_libraries(loop_test PRIVATE reader_loop writer_loop)
rawcan_windows_test(wire_test wire_test.cpp)
target_link_libraries(wire_test PRIVATE zelbor_wire)
rawcan_windows_test(stream_test stream_test.cpp)
target_link_libraries(stream_test PRIVATE zelbor_wire)
rawcan_windows_test(link_test link_test.cpp)
target_link_libraries(link_test PRIVATE zelbor_core)
rawcan_windows_test(send_policy_test send_policy_test.cpp)
target_link_libraries(send_policy_test PRIVATE zelbor_core)
# Under Wine both use 127.0.0.1 and the same ports.
set_tests_properties(link_test send_policy_test PROPERTIES RESOURCE_LOCK loopback_ports)

# The zip for Windows users: what it holds, and that its programs run from it.
add_test(NAME windows_package_test
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows_package_test.sh ${CMAKE_BINARY_DIR}
                 ${CMAKE_CROSSCOMPILING_EMULATOR})
