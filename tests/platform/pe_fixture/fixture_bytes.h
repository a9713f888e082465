// The loader test library's bytes, built for x86-64 and for i686 and carried
// inside the test program (fixture_bytes.cpp), so the tests need no file.
#ifndef TRESOLIN_TESTS_PLATFORM_PE_FIXTURE_FIXTURE_BYTES_H_
#define TRESOLIN_TESTS_PLATFORM_PE_FIXTURE_FIXTURE_BYTES_H_

#include <cstdint>
#include <span>

namespace pe_fixture {

// The preferred bases the build links the fixture at.
inline constexpr std::uint64_t kBaseX8664 = 0x180000000;
inline constexpr std::uint64_t kBaseI686 = 0x10000000;

std::span<const std::uint8_t> ImageX8664();
std::span<const std::uint8_t> ImageX8664Lean();  // without thread_local and exceptions
std::span<const std::uint8_t> ImageI686();

}  // namespace pe_fixture

#endif  // TRESOLIN_TESTS_PLATFORM_PE_FIXTURE_FIXTURE_BYTES_H_
