// Requires: PE_FIXTURE_X86_64, PE_FIXTURE_X86_64_LEAN and PE_FIXTURE_I686 name the built fixture
// libraries; the assembler copies their bytes into read-only data.
#include "tests/platform/pe_fixture/fixture_bytes.h"

#if defined(_WIN32)
#define PE_FIXTURE_SECTION ".section .rdata,\"dr\"\n"
#else
#define PE_FIXTURE_SECTION ".section .rodata\n"
#endif

#define PE_FIXTURE_EMBED(label, path) \
  PE_FIXTURE_SECTION                  \
  ".balign 16\n"                      \
  ".globl " label "_begin\n" label    \
  "_begin:\n"                         \
  ".incbin \"" path                   \
  "\"\n"                              \
  ".globl " label "_end\n" label      \
  "_end:\n"                           \
  ".text\n"

asm(PE_FIXTURE_EMBED("tresolin_pe_fixture_x86_64", PE_FIXTURE_X86_64));
asm(PE_FIXTURE_EMBED("tresolin_pe_fixture_x86_64_lean", PE_FIXTURE_X86_64_LEAN));
asm(PE_FIXTURE_EMBED("tresolin_pe_fixture_i686", PE_FIXTURE_I686));

extern "C" const std::uint8_t fixtureX8664Begin[] asm("tresolin_pe_fixture_x86_64_begin");
extern "C" const std::uint8_t fixtureX8664End[] asm("tresolin_pe_fixture_x86_64_end");
extern "C" const std::uint8_t fixtureLeanBegin[] asm("tresolin_pe_fixture_x86_64_lean_begin");
extern "C" const std::uint8_t fixtureLeanEnd[] asm("tresolin_pe_fixture_x86_64_lean_end");
extern "C" const std::uint8_t fixtureI686Begin[] asm("tresolin_pe_fixture_i686_begin");
extern "C" const std::uint8_t fixtureI686End[] asm("tresolin_pe_fixture_i686_end");

namespace pe_fixture {

std::span<const std::uint8_t> ImageX8664() {
  return {fixtureX8664Begin, fixtureX8664End};
}

std::span<const std::uint8_t> ImageX8664Lean() {
  return {fixtureLeanBegin, fixtureLeanEnd};
}

std::span<const std::uint8_t> ImageI686() {
  return {fixtureI686Begin, fixtureI686End};
}

}  // namespace pe_fixture
