# The Windows build (cmake/mingw-w64-x86_64.cmake): the programs beside
# libZelbor.dll and its import library, their tests, and the zip for users.
set_target_properties(Zelbor PROPERTIES ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

add_subdirectory(tests)

install(TARGETS raw_can_reader raw_can_writer RUNTIME DESTINATION .)
install(TARGETS Zelbor RUNTIME DESTINATION . ARCHIVE DESTINATION lib)
install(FILES include/zelbor.h include/zelbor_counters.h DESTINATION include)
install(FILES docs/windows/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME raw-can-tools)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_FILE_NAME raw-can-tools-1.0.0-windows-x64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
