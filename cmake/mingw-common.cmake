# What both MinGW toolchain files share: Debian's MinGW-w64 compilers for
# TRESOLIN_MINGW_TRIPLET in their posix thread model (the win32 model has no
# std::thread or std::mutex in GCC 12), and static linking, so that the
# programs import only system DLLs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TRESOLIN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRESOLIN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_ASM_COMPILER ${TRESOLIN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_RC_COMPILER ${TRESOLIN_MINGW_TRIPLET}-windres)
set(CMAKE_OBJCOPY ${TRESOLIN_MINGW_TRIPLET}-objcopy CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${TRESOLIN_MINGW_TRIPLET}-objdump CACHE FILEPATH "")

# Headers and libraries of the target (zlib from libz-mingw-w64-dev) only;
# programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TRESOLIN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthreads go into each program and DLL.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
