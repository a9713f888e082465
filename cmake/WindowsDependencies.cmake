# The libraries of the Windows build, for the MinGW target of the toolchain
# file. Nothing here is copied into the repository: zlib comes from
# libz-mingw-w64-dev, minizip's sources are fetched into the build tree from
# Debian 12's own source package, GoogleTest builds from /usr/src/googletest.

# zlib, the static archive: the programs must not import zlib1.dll.
set(tresolin_mingw_root /usr/${TRESOLIN_MINGW_TRIPLET})
find_path(ZLIB_INCLUDE_DIR zlib.h PATHS ${tresolin_mingw_root}/include NO_DEFAULT_PATH)
find_library(ZLIB_LIBRARY NAMES libz.a PATHS ${tresolin_mingw_root}/lib NO_DEFAULT_PATH)
find_package(ZLIB REQUIRED)

# minizip: the version Debian 12 ships, with Debian's patches applied.
set(TRESOLIN_MINIZIP_VERSION "1.1-8+deb12u1" CACHE STRING
    "Version of Debian's minizip source package the Windows build compiles")
set(minizip_dir ${CMAKE_BINARY_DIR}/_deps/minizip)
execute_process(
  COMMAND bash ${PROJECT_SOURCE_DIR}/cmake/fetch-minizip ${minizip_dir} ${TRESOLIN_MINIZIP_VERSION}
  OUTPUT_VARIABLE minizip_fetched OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE minizip_result)
if(NOT minizip_result EQUAL 0)
  message(FATAL_ERROR "Could not fetch minizip ${TRESOLIN_MINIZIP_VERSION} (see above)")
endif()
set(minizip_src ${minizip_fetched}/src)
# The program includes <minizip/zip.h>, as with Debian's libminizip-dev.
set(minizip_include ${minizip_dir}/include)
file(MAKE_DIRECTORY ${minizip_include}/minizip)
foreach(header ioapi.h zip.h unzip.h iowin32.h crypt.h)
  configure_file(${minizip_src}/${header} ${minizip_include}/minizip/${header} COPYONLY)
endforeach()
add_library(tresolin_minizip STATIC
  ${minizip_src}/ioapi.c ${minizip_src}/zip.c ${minizip_src}/unzip.c ${minizip_src}/iowin32.c)
target_include_directories(tresolin_minizip SYSTEM PUBLIC ${minizip_include}
                                                   PRIVATE ${minizip_include}/minizip)
target_link_libraries(tresolin_minizip PUBLIC ZLIB::ZLIB)
# Third-party C: its own warnings are not ours to fix.
target_compile_options(tresolin_minizip PRIVATE -w)
# The name the Linux build's pkg-config lookup gives the same library.
add_library(PkgConfig::MINIZIP ALIAS tresolin_minizip)

if(TRESOLIN_TESTS)
  # GoogleTest, built with the same compiler and the same static runtime.
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
  foreach(t gtest gtest_main)
    target_compile_options(${t} PRIVATE -w)
    if(NOT TARGET GTest::${t})
      add_library(GTest::${t} ALIAS ${t})
    endif()
  endforeach()
endif()
