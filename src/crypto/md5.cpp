#include "crypto/md5.h"

#include <bit>
#include <cstddef>
#include <cstring>

namespace {

constexpr std::size_t kBlockBytes = 64;
// Where the 64-bit length field of the last block starts.
constexpr std::size_t kLengthOffset = 56;

// floor(abs(sin(i + 1)) * 2^32), as tabulated in the standard.
constexpr uint32_t kSines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Left rotations, four per round, repeated over the round's 16 steps.
constexpr int kRotations[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

struct Md5State {
  uint32_t chain[4];
  uint64_t byteCount;
  uint8_t pending[kBlockBytes];
};

void Md5Start(Md5State& state) {
  state.chain[0] = 0x67452301;
  state.chain[1] = 0xefcdab89;
  state.chain[2] = 0x98badcfe;
  state.chain[3] = 0x10325476;
  state.byteCount = 0;
}

void Md5Transform(uint32_t (&chain)[4], const uint8_t* block) {
  uint32_t words[16];
  for (std::size_t i = 0; i < 16; ++i) {
    const uint8_t* bytes = block + (4 * i);
    words[i] = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
               (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
  }

  uint32_t a = chain[0];
  uint32_t b = chain[1];
  uint32_t c = chain[2];
  uint32_t d = chain[3];
  // Unrolled whole, the round choice, word index and rotation become constants of each step.
#pragma GCC unroll 64
  for (int step = 0; step < 64; ++step) {
    const int round = step / 16;
    uint32_t mixed = 0;
    int word = 0;
    switch (round) {
      case 0:
        mixed = (b & c) | (~b & d);
        word = step;
        break;
      case 1:
        mixed = (d & b) | (~d & c);
        word = (5 * step) + 1;
        break;
      case 2:
        mixed = b ^ c ^ d;
        word = (3 * step) + 5;
        break;
      default:
        mixed = c ^ (b | ~d);
        word = 7 * step;
        break;
    }
    const uint32_t sum = a + mixed + kSines[step] + words[word % 16];
    a = d;
    d = c;
    c = b;
    b += std::rotl(sum, kRotations[round][step % 4]);
  }
  chain[0] += a;
  chain[1] += b;
  chain[2] += c;
  chain[3] += d;
}

void Md5Update(Md5State& state, const uint8_t* bytes, std::size_t count) {
  std::size_t used = state.byteCount % kBlockBytes;
  state.byteCount += count;
  while (count > 0) {
    const std::size_t take = count < kBlockBytes - used ? count : kBlockBytes - used;
    std::memcpy(state.pending + used, bytes, take);
    used += take;
    bytes += take;
    count -= take;
    if (used == kBlockBytes) {
      Md5Transform(state.chain, state.pending);
      used = 0;
    }
  }
}

void Md5Finish(Md5State& state, uint8_t* digest) {
  const uint64_t bitCount = state.byteCount * 8;
  const std::size_t used = state.byteCount % kBlockBytes;
  // A 1 bit, then zeros up to the length field, in a further block when this one is too full.
  const std::size_t padding =
      used < kLengthOffset ? kLengthOffset - used : kBlockBytes + kLengthOffset - used;
  uint8_t tail[kBlockBytes + 8] = {0x80};
  for (std::size_t i = 0; i < 8; ++i) {
    tail[padding + i] = static_cast<uint8_t>(bitCount >> (8 * i));
  }
  Md5Update(state, tail, padding + 8);

  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t j = 0; j < 4; ++j) {
      digest[(4 * i) + j] = static_cast<uint8_t>(state.chain[i] >> (8 * j));
    }
  }
}

}  // namespace

Status Md5Digest(const uint8_t* bytes, int32_t count, uint8_t* digest) {
  Md5State state{};
  Md5Start(state);
  if (count > 0) {
    Md5Update(state, bytes, static_cast<std::size_t>(count));
  }
  Md5Finish(state, digest);
  return S_OK;
}
