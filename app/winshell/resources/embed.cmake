# Writes OUT, a C++ file that carries the bytes of ENCRYPT, DECRYPT and METER
# behind winshell::EncryptIco(), DecryptIco() and MeterBmp().
# cmake -DENCRYPT=a.ico -DDECRYPT=b.ico -DMETER=m.bmp -DOUT=x.cpp -P embed.cmake
function(bytes_of file out_var)
  file(READ ${file} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  string(REGEX REPLACE "((0x..,){16})" "\\1\n" hex "${hex}")
  set(${out_var} "${hex}" PARENT_SCOPE)
endfunction()

bytes_of(${ENCRYPT} encrypt)
bytes_of(${DECRYPT} decrypt)
bytes_of(${METER} meter)
file(WRITE ${OUT}.tmp "// Generated from app/shell/resources by app/winshell/resources/embed.cmake.
#include \"app/winshell/pictures.h\"

namespace winshell {
namespace {
const std::uint8_t kEncrypt[] = {
${encrypt}};
const std::uint8_t kDecrypt[] = {
${decrypt}};
const std::uint8_t kMeter[] = {
${meter}};
}  // namespace

std::span<const std::uint8_t> EncryptIco() { return kEncrypt; }
std::span<const std::uint8_t> DecryptIco() { return kDecrypt; }
std::span<const std::uint8_t> MeterBmp() { return kMeter; }

}  // namespace winshell
")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
