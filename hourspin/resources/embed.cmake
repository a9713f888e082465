# Writes OUT, a C++ file that carries the bytes of STRIP and BARS as arrays
# behind hourspin::StripBmp() and hourspin::BarsIco().
# cmake -DSTRIP=strip.bmp -DBARS=bars.ico -DOUT=embedded_images.cpp -P embed.cmake
function(bytes_of file out_var)
  file(READ ${file} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n"
         hex "${hex}")
  set(${out_var} "${hex}" PARENT_SCOPE)
endfunction()

bytes_of(${STRIP} strip)
bytes_of(${BARS} bars)
file(WRITE ${OUT}.tmp "// Generated from hourspin/resources by embed.cmake; do not edit.
#include \"hourspin/common.h\"

namespace hourspin {
namespace {
const std::uint8_t kStrip[] = {
${strip}};
const std::uint8_t kBars[] = {
${bars}};
}  // namespace

std::span<const std::uint8_t> StripBmp() { return kStrip; }
std::span<const std::uint8_t> BarsIco() { return kBars; }

}  // namespace hourspin
")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
