#include "cipherkern/aes.h"

#include "cipherkern/aes_ni.h"
#include "cipherkern/secure_buffer.h"

namespace cipherkern {
namespace {

// The lookup tables are computed at compile time from the field arithmetic of
// FIPS-197 section 4 and the S-box construction of section 5.1.1, so there is
// no table of magic numbers to mistype; the tests check them against the
// FIPS-197 appendix C vectors and against libcrypto.
constexpr std::uint8_t XTime(std::uint8_t x) {
  return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) != 0 ? 0x1b : 0));
}

constexpr std::uint8_t GfMul(std::uint8_t a, std::uint8_t b) {
  std::uint8_t product = 0;
  while (b != 0) {
    if ((b & 1) != 0) product ^= a;
    a = XTime(a);
    b >>= 1;
  }
  return product;
}

// x^254 is the multiplicative inverse in GF(2^8), and maps 0 to 0 as the
// S-box construction requires.
constexpr std::uint8_t GfInverse(std::uint8_t x) {
  std::uint8_t result = 1;
  std::uint8_t power = x;
  for (int exponent = 254; exponent != 0; exponent >>= 1) {
    if ((exponent & 1) != 0) result = GfMul(result, power);
    power = GfMul(power, power);
  }
  return result;
}

constexpr std::uint8_t RotateLeft8(std::uint8_t x, int n) {
  return static_cast<std::uint8_t>((x << n) | (x >> (8 - n)));
}

constexpr std::uint32_t RotateRight32(std::uint32_t x, int n) {
  return n == 0 ? x : (x >> n) | (x << (32 - n));
}

constexpr std::uint32_t Word(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
  return (std::uint32_t{b0} << 24) | (std::uint32_t{b1} << 16) | (std::uint32_t{b2} << 8) | b3;
}

struct Tables {
  std::uint8_t sbox[256] = {};
  std::uint8_t invSbox[256] = {};
  // encrypt[k][x]: SubBytes, ShiftRows' byte k and MixColumns for input x,
  // as a column word; decrypt[k][x] the same for the inverse round.
  std::uint32_t encrypt[4][256] = {};
  std::uint32_t decrypt[4][256] = {};
};

constexpr Tables MakeTables() {
  Tables t;
  for (int x = 0; x < 256; ++x) {
    const std::uint8_t b = GfInverse(static_cast<std::uint8_t>(x));
    const std::uint8_t s =
        b ^ RotateLeft8(b, 1) ^ RotateLeft8(b, 2) ^ RotateLeft8(b, 3) ^ RotateLeft8(b, 4) ^ 0x63;
    t.sbox[x] = s;
    t.invSbox[s] = static_cast<std::uint8_t>(x);
  }
  for (int x = 0; x < 256; ++x) {
    const std::uint8_t s = t.sbox[x];
    const std::uint8_t i = t.invSbox[x];
    const std::uint32_t e = Word(GfMul(s, 2), s, s, GfMul(s, 3));
    const std::uint32_t d = Word(GfMul(i, 14), GfMul(i, 9), GfMul(i, 13), GfMul(i, 11));
    for (int k = 0; k < 4; ++k) {
      t.encrypt[k][x] = RotateRight32(e, 8 * k);
      t.decrypt[k][x] = RotateRight32(d, 8 * k);
    }
  }
  return t;
}

constexpr Tables kTables = MakeTables();
constexpr auto& kSbox = kTables.sbox;
constexpr auto& kInvSbox = kTables.invSbox;
constexpr auto& kTe = kTables.encrypt;
constexpr auto& kTd = kTables.decrypt;

static_assert(kSbox[0x00] == 0x63 && kSbox[0x53] == 0xed);  // FIPS-197 figure 7
static_assert(kInvSbox[0x63] == 0x00);

std::uint32_t SubWord(std::uint32_t w) {
  return Word(kSbox[w >> 24], kSbox[(w >> 16) & 0xff], kSbox[(w >> 8) & 0xff], kSbox[w & 0xff]);
}

// InvMixColumns of one column: the decryption tables already hold
// InvMixColumns after InvSubBytes, so undo the latter with the S-box.
std::uint32_t InvMixColumn(std::uint32_t w) {
  return kTd[0][kSbox[w >> 24]] ^ kTd[1][kSbox[(w >> 16) & 0xff]] ^ kTd[2][kSbox[(w >> 8) & 0xff]] ^
         kTd[3][kSbox[w & 0xff]];
}

std::uint32_t LoadBigEndian(const std::uint8_t* p) {
  return Word(p[0], p[1], p[2], p[3]);
}

void StoreBigEndian(std::uint8_t* p, std::uint32_t w) {
  p[0] = static_cast<std::uint8_t>(w >> 24);
  p[1] = static_cast<std::uint8_t>(w >> 16);
  p[2] = static_cast<std::uint8_t>(w >> 8);
  p[3] = static_cast<std::uint8_t>(w);
}

std::uint32_t Byte(std::uint32_t w, int shift) {
  return (w >> shift) & 0xff;
}

void EncryptBlock(const std::uint32_t* rk, int rounds, const std::uint8_t* in, std::uint8_t* out) {
  std::uint32_t s0 = LoadBigEndian(in) ^ rk[0];
  std::uint32_t s1 = LoadBigEndian(in + 4) ^ rk[1];
  std::uint32_t s2 = LoadBigEndian(in + 8) ^ rk[2];
  std::uint32_t s3 = LoadBigEndian(in + 12) ^ rk[3];
  for (int r = 1; r < rounds; ++r) {
    rk += 4;
    const std::uint32_t t0 =
        kTe[0][s0 >> 24] ^ kTe[1][Byte(s1, 16)] ^ kTe[2][Byte(s2, 8)] ^ kTe[3][s3 & 0xff] ^ rk[0];
    const std::uint32_t t1 =
        kTe[0][s1 >> 24] ^ kTe[1][Byte(s2, 16)] ^ kTe[2][Byte(s3, 8)] ^ kTe[3][s0 & 0xff] ^ rk[1];
    const std::uint32_t t2 =
        kTe[0][s2 >> 24] ^ kTe[1][Byte(s3, 16)] ^ kTe[2][Byte(s0, 8)] ^ kTe[3][s1 & 0xff] ^ rk[2];
    const std::uint32_t t3 =
        kTe[0][s3 >> 24] ^ kTe[1][Byte(s0, 16)] ^ kTe[2][Byte(s1, 8)] ^ kTe[3][s2 & 0xff] ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  // Last round: no MixColumns.
  StoreBigEndian(
      out,
      Word(kSbox[s0 >> 24], kSbox[Byte(s1, 16)], kSbox[Byte(s2, 8)], kSbox[s3 & 0xff]) ^ rk[0]);
  StoreBigEndian(
      out + 4,
      Word(kSbox[s1 >> 24], kSbox[Byte(s2, 16)], kSbox[Byte(s3, 8)], kSbox[s0 & 0xff]) ^ rk[1]);
  StoreBigEndian(
      out + 8,
      Word(kSbox[s2 >> 24], kSbox[Byte(s3, 16)], kSbox[Byte(s0, 8)], kSbox[s1 & 0xff]) ^ rk[2]);
  StoreBigEndian(
      out + 12,
      Word(kSbox[s3 >> 24], kSbox[Byte(s0, 16)], kSbox[Byte(s1, 8)], kSbox[s2 & 0xff]) ^ rk[3]);
}

// The equivalent inverse cipher (FIPS-197 section 5.3.5): the same round
// structure as encryption, with InvShiftRows taking bytes from the other side.
void DecryptBlock(const std::uint32_t* rk, int rounds, const std::uint8_t* in, std::uint8_t* out) {
  std::uint32_t s0 = LoadBigEndian(in) ^ rk[0];
  std::uint32_t s1 = LoadBigEndian(in + 4) ^ rk[1];
  std::uint32_t s2 = LoadBigEndian(in + 8) ^ rk[2];
  std::uint32_t s3 = LoadBigEndian(in + 12) ^ rk[3];
  for (int r = 1; r < rounds; ++r) {
    rk += 4;
    const std::uint32_t t0 =
        kTd[0][s0 >> 24] ^ kTd[1][Byte(s3, 16)] ^ kTd[2][Byte(s2, 8)] ^ kTd[3][s1 & 0xff] ^ rk[0];
    const std::uint32_t t1 =
        kTd[0][s1 >> 24] ^ kTd[1][Byte(s0, 16)] ^ kTd[2][Byte(s3, 8)] ^ kTd[3][s2 & 0xff] ^ rk[1];
    const std::uint32_t t2 =
        kTd[0][s2 >> 24] ^ kTd[1][Byte(s1, 16)] ^ kTd[2][Byte(s0, 8)] ^ kTd[3][s3 & 0xff] ^ rk[2];
    const std::uint32_t t3 =
        kTd[0][s3 >> 24] ^ kTd[1][Byte(s2, 16)] ^ kTd[2][Byte(s1, 8)] ^ kTd[3][s0 & 0xff] ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  StoreBigEndian(out, Word(kInvSbox[s0 >> 24], kInvSbox[Byte(s3, 16)], kInvSbox[Byte(s2, 8)],
                           kInvSbox[s1 & 0xff]) ^
                          rk[0]);
  StoreBigEndian(out + 4, Word(kInvSbox[s1 >> 24], kInvSbox[Byte(s0, 16)], kInvSbox[Byte(s3, 8)],
                               kInvSbox[s2 & 0xff]) ^
                              rk[1]);
  StoreBigEndian(out + 8, Word(kInvSbox[s2 >> 24], kInvSbox[Byte(s1, 16)], kInvSbox[Byte(s0, 8)],
                               kInvSbox[s3 & 0xff]) ^
                              rk[2]);
  StoreBigEndian(out + 12, Word(kInvSbox[s3 >> 24], kInvSbox[Byte(s2, 16)], kInvSbox[Byte(s1, 8)],
                                kInvSbox[s0 & 0xff]) ^
                               rk[3]);
}

bool UseNi(AesPath path) {
  return path == AesPath::kAesNi && Aes_NiAvailable();
}

}  // namespace

AesKeySchedule::~AesKeySchedule() {
  SecureWipe(encrypt, sizeof encrypt);
  SecureWipe(decrypt, sizeof decrypt);
  rounds = 0;
}

bool Aes_ExpandKey(std::span<const std::uint8_t> key, AesKeySchedule* schedule) {
  const std::size_t nk = key.size() / 4;  // key length in words
  if (key.size() != 16 && key.size() != 24 && key.size() != 32) return false;
  const int rounds = static_cast<int>(nk) + 6;
  const std::size_t words = 4 * static_cast<std::size_t>(rounds + 1);

  // FIPS-197 section 5.2, KeyExpansion.
  std::uint32_t* w = schedule->encrypt;
  for (std::size_t i = 0; i < nk; ++i) w[i] = LoadBigEndian(key.data() + 4 * i);
  std::uint32_t rcon = 0x01;
  for (std::size_t i = nk; i < words; ++i) {
    std::uint32_t temp = w[i - 1];
    if (i % nk == 0) {
      temp = SubWord(RotateRight32(temp, 24)) ^ (rcon << 24);
      rcon = XTime(static_cast<std::uint8_t>(rcon));
    } else if (nk > 6 && i % nk == 4) {
      temp = SubWord(temp);
    }
    w[i] = w[i - nk] ^ temp;
  }

  // Equivalent inverse cipher schedule (FIPS-197 section 5.3.5).
  std::uint32_t* dw = schedule->decrypt;
  for (int r = 0; r <= rounds; ++r) {
    for (int c = 0; c < 4; ++c) {
      const std::uint32_t k = w[4 * (rounds - r) + c];
      dw[4 * r + c] = (r == 0 || r == rounds) ? k : InvMixColumn(k);
    }
  }
  schedule->rounds = rounds;
  return true;
}

bool Aes_NiAvailable() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse4.1");
#else
  return false;
#endif
}

AesPath Aes_BestPath() {
  return Aes_NiAvailable() ? AesPath::kAesNi : AesPath::kPortable;
}

void Aes_EncryptBlocks(const AesKeySchedule& schedule, AesPath path,
                       std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  const std::size_t blocks = in.size() / kAesBlockSize;
  if (UseNi(path)) {
    AesNi_EncryptBlocks(schedule.encrypt, schedule.rounds, in.data(), out.data(), blocks);
    return;
  }
  for (std::size_t b = 0; b < blocks; ++b) {
    EncryptBlock(schedule.encrypt, schedule.rounds, in.data() + kAesBlockSize * b,
                 out.data() + kAesBlockSize * b);
  }
}

void Aes_DecryptBlocks(const AesKeySchedule& schedule, AesPath path,
                       std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  const std::size_t blocks = in.size() / kAesBlockSize;
  if (UseNi(path)) {
    AesNi_DecryptBlocks(schedule.decrypt, schedule.rounds, in.data(), out.data(), blocks);
    return;
  }
  for (std::size_t b = 0; b < blocks; ++b) {
    DecryptBlock(schedule.decrypt, schedule.rounds, in.data() + kAesBlockSize * b,
                 out.data() + kAesBlockSize * b);
  }
}

}  // namespace cipherkern
