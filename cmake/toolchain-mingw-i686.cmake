# Cross-builds the Windows program for 32-bit x86 (see mingw-common.cmake).
#   cmake -S . -B build-windows-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TRESOLIN_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# This machine cannot run 32-bit programs (the kernel has 32-bit execution
# disabled): the 32-bit build is built and checked, not run.
