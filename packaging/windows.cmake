# The Windows zip: `make windows-package` builds
# tresolin-windows-<arch>.zip in each Windows build folder, holding
#
#   tresolin-windows-<arch>/tresolin.exe          the window program
#   tresolin-windows-<arch>/data/hourspin.exe     its progress window
#   tresolin-windows-<arch>/tresolin-cli.exe      the engine DLL rides inside
#   tresolin-windows-<arch>/README.md               both programs
#   tresolin-windows-<arch>/LICENSE
#
# Unpacked anywhere, the programs run from there: they import only system
# DLLs. Debug information is stripped on the way in.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(tresolin_windows_arch x86_64)
else()
  set(tresolin_windows_arch i686)
endif()

install(TARGETS tresolin tresolin-cli RUNTIME DESTINATION .)
install(TARGETS hourspin RUNTIME DESTINATION data)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tresolin)
set(CPACK_PACKAGE_FILE_NAME tresolin-windows-${tresolin_windows_arch})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
include(CPack)
