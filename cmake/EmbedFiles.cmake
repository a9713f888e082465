# tresolin_embed_files(OUTPUT file.cpp HEADER dir/header.h NAMESPACE ns
#                      FILES Function=path [Function=path ...])
# Generates file.cpp at build time: the bytes of each file as a constant
# array behind `std::span<const std::uint8_t> ns::Function()`, declared in
# HEADER. The programs carry their pictures this way and read no files; a
# byte array, unlike a resource object, survives linking from a static
# library.
set(TRESOLIN_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/embed-files.cmake)

function(tresolin_embed_files)
  cmake_parse_arguments(E "" "OUTPUT;HEADER;NAMESPACE" "FILES" ${ARGN})
  set(paths)
  foreach(pair ${E_FILES})
    string(REGEX REPLACE "^[^=]*=" "" path "${pair}")
    list(APPEND paths ${path})
  endforeach()
  string(REPLACE ";" "|" files "${E_FILES}")
  add_custom_command(
    OUTPUT ${E_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -DOUT=${E_OUTPUT} -DHEADER=${E_HEADER} -DNAMESPACE=${E_NAMESPACE}
            "-DFILES=${files}" -P ${TRESOLIN_EMBED_SCRIPT}
    DEPENDS ${paths} ${TRESOLIN_EMBED_SCRIPT}
    COMMENT "Embedding ${E_NAMESPACE}'s pictures"
    VERBATIM)
endfunction()
