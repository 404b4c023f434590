#include "crypto/aes.h"

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstring>
#include <mutex>

// The processor's AES instructions, where the compiler can emit them for single functions; the
// rest of the build keeps its default instruction set, and the processor is asked at run time.
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define TALVORO_AES_NI 1
#include <cpuid.h>
#include <emmintrin.h>
#include <wmmintrin.h>
#else
#define TALVORO_AES_NI 0
#endif

// State and key bytes live in 32-bit words least significant byte first: word c of the state
// is column c, with row r in bits 8r to 8r+7.

namespace {

constexpr int kBlockBytes = 16;

struct AesTables {
  uint8_t sbox[256];
  uint8_t inverseSbox[256];
  // Round tables: S-box (or inverse S-box) and MixColumns (or InvMixColumns) of one state
  // byte in row r, as the column it contributes.
  uint32_t forward[4][256];
  uint32_t inverse[4][256];
  uint32_t roundConstants[10];
};

// Written once under gTablesOnce, read-only afterwards.
AesTables gTables;
std::once_flag gTablesOnce;

constexpr uint8_t XTime(uint8_t x) {
  return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) != 0 ? 0x1B : 0x00));
}

constexpr uint32_t PackBytes(uint32_t b0, uint32_t b1, uint32_t b2, uint32_t b3) {
  return b0 | (b1 << 8) | (b2 << 16) | (b3 << 24);
}

constexpr uint8_t ByteOf(uint32_t word, int index) {
  return static_cast<uint8_t>(word >> (8 * index));
}

uint32_t LoadWord(const uint8_t* bytes) {
  return PackBytes(bytes[0], bytes[1], bytes[2], bytes[3]);
}

void StoreWord(uint32_t word, uint8_t* bytes) {
  for (int i = 0; i < 4; ++i) {
    bytes[i] = ByteOf(word, i);
  }
}

void AesBuildTables() {
  // GF(2^8) with generator 3: power[i] = 3^i, logarithm its inverse. logarithm[1] ends at 255,
  // which still maps back to 1.
  uint8_t power[256] = {};
  uint8_t logarithm[256] = {};
  uint8_t x = 1;
  for (int i = 0; i < 256; ++i) {
    power[i] = x;
    logarithm[x] = static_cast<uint8_t>(i);
    x = static_cast<uint8_t>(x ^ XTime(x));
  }
  const auto multiply = [&](uint8_t a, uint8_t b) -> uint32_t {
    if (a == 0 || b == 0) {
      return 0;
    }
    return power[(logarithm[a] + logarithm[b]) % 255];
  };

  uint8_t constant = 1;
  for (uint32_t& word : gTables.roundConstants) {
    word = constant;
    constant = XTime(constant);
  }

  gTables.sbox[0] = 0x63;
  gTables.inverseSbox[0x63] = 0;
  for (int i = 1; i < 256; ++i) {
    const uint8_t inverse = power[255 - logarithm[i]];
    const auto s = static_cast<uint8_t>(inverse ^ std::rotl(inverse, 1) ^ std::rotl(inverse, 2) ^
                                        std::rotl(inverse, 3) ^ std::rotl(inverse, 4) ^ 0x63);
    gTables.sbox[i] = s;
    gTables.inverseSbox[s] = static_cast<uint8_t>(i);
  }

  for (int i = 0; i < 256; ++i) {
    const uint8_t s = gTables.sbox[i];
    const uint32_t forward = PackBytes(XTime(s), s, s, multiply(3, s));
    const uint8_t t = gTables.inverseSbox[i];
    const uint32_t inverse =
        PackBytes(multiply(0x0E, t), multiply(0x09, t), multiply(0x0D, t), multiply(0x0B, t));
    for (int row = 0; row < 4; ++row) {
      gTables.forward[row][i] = std::rotl(forward, 8 * row);
      gTables.inverse[row][i] = std::rotl(inverse, 8 * row);
    }
  }
}

int32_t RoundsForKeyBits(int bits) {
  switch (bits) {
    case 128:
      return 10;
    case 192:
      return 12;
    case 256:
      return 14;
    default:
      return 0;
  }
}

uint32_t SubWord(uint32_t word) {
  return PackBytes(gTables.sbox[ByteOf(word, 0)], gTables.sbox[ByteOf(word, 1)],
                   gTables.sbox[ByteOf(word, 2)], gTables.sbox[ByteOf(word, 3)]);
}

// The S-box lookup cancels the inverse S-box folded into the inverse tables.
uint32_t InvMixColumn(uint32_t word) {
  uint32_t mixed = 0;
  for (int row = 0; row < 4; ++row) {
    mixed ^= gTables.inverse[row][gTables.sbox[ByteOf(word, row)]];
  }
  return mixed;
}

std::atomic<bool> gTableCodeForced{false};

#if TALVORO_AES_NI

// A 32-bit Windows thread may start with its stack aligned to 4 bytes only; the vector code
// spills 16-byte values there, so its entry points realign it.
#if defined(__i386__)
#define TALVORO_AES_NI_ENTRY __attribute__((target("aes,sse2"), force_align_arg_pointer))
#else
#define TALVORO_AES_NI_ENTRY __attribute__((target("aes,sse2")))
#endif
#define TALVORO_AES_NI_INLINE inline __attribute__((target("aes,sse2"), always_inline))

bool ProcessorHasAesNi() {
  unsigned int eax = 0;
  unsigned int ebx = 0;
  unsigned int ecx = 0;
  unsigned int edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
    return false;
  }
  return (ecx & bit_AES) != 0 && (edx & bit_SSE2) != 0;
}

// Round keys and blocks through memcpy: neither is 16-byte aligned, and the byte order of the
// key words (least significant first) is the byte order these instructions expect.
TALVORO_AES_NI_INLINE __m128i LoadBlock(const void* bytes) {
  __m128i block;
  std::memcpy(&block, bytes, sizeof block);
  return block;
}

TALVORO_AES_NI_INLINE void StoreBlock(void* bytes, __m128i block) {
  std::memcpy(bytes, &block, sizeof block);
}

// One step of the AES-128 schedule: `assist` is AESKEYGENASSIST of the previous round key,
// whose top word is SubWord(RotWord(w)) ^ Rcon.
TALVORO_AES_NI_INLINE __m128i NextRoundKey128(__m128i key, __m128i assist) {
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 8));
  return _mm_xor_si128(key, _mm_shuffle_epi32(assist, 0xFF));
}

TALVORO_AES_NI_ENTRY void HardwareExpand128(uint32_t* words, const uint8_t* key) {
  __m128i keys[11];
  keys[0] = LoadBlock(key);
  // The round constant is an immediate operand, hence one line per round.
  keys[1] = NextRoundKey128(keys[0], _mm_aeskeygenassist_si128(keys[0], 0x01));
  keys[2] = NextRoundKey128(keys[1], _mm_aeskeygenassist_si128(keys[1], 0x02));
  keys[3] = NextRoundKey128(keys[2], _mm_aeskeygenassist_si128(keys[2], 0x04));
  keys[4] = NextRoundKey128(keys[3], _mm_aeskeygenassist_si128(keys[3], 0x08));
  keys[5] = NextRoundKey128(keys[4], _mm_aeskeygenassist_si128(keys[4], 0x10));
  keys[6] = NextRoundKey128(keys[5], _mm_aeskeygenassist_si128(keys[5], 0x20));
  keys[7] = NextRoundKey128(keys[6], _mm_aeskeygenassist_si128(keys[6], 0x40));
  keys[8] = NextRoundKey128(keys[7], _mm_aeskeygenassist_si128(keys[7], 0x80));
  keys[9] = NextRoundKey128(keys[8], _mm_aeskeygenassist_si128(keys[8], 0x1B));
  keys[10] = NextRoundKey128(keys[9], _mm_aeskeygenassist_si128(keys[9], 0x36));
  for (int round = 0; round <= 10; ++round) {
    StoreBlock(words + static_cast<ptrdiff_t>(4 * round), keys[round]);
  }
}

// The equivalent inverse cipher's schedule from the enciphering one, as the table code makes it.
TALVORO_AES_NI_ENTRY void HardwareInvertSchedule(uint32_t* target, const uint32_t* source,
                                                 int32_t rounds) {
  StoreBlock(target, LoadBlock(source + static_cast<ptrdiff_t>(4 * rounds)));
  for (int32_t round = rounds - 1; round >= 1; --round) {
    StoreBlock(target + static_cast<ptrdiff_t>(4 * (rounds - round)),
               _mm_aesimc_si128(LoadBlock(source + static_cast<ptrdiff_t>(4 * round))));
  }
  StoreBlock(target + static_cast<ptrdiff_t>(4 * rounds), LoadBlock(source));
}

struct HardwareKeys {
  __m128i round[15];
  int32_t rounds;
};

TALVORO_AES_NI_INLINE void LoadKeys(const AesContext* context, HardwareKeys& keys) {
  keys.rounds = context->rounds;
  for (int32_t round = 0; round <= keys.rounds; ++round) {
    keys.round[round] = LoadBlock(context->keyWords + static_cast<ptrdiff_t>(4 * round));
  }
}

TALVORO_AES_NI_INLINE __m128i EncipherBlock(const HardwareKeys& keys, __m128i block) {
  block = _mm_xor_si128(block, keys.round[0]);
  for (int32_t round = 1; round < keys.rounds; ++round) {
    block = _mm_aesenc_si128(block, keys.round[round]);
  }
  return _mm_aesenclast_si128(block, keys.round[keys.rounds]);
}

TALVORO_AES_NI_INLINE __m128i DecipherBlock(const HardwareKeys& keys, __m128i block) {
  block = _mm_xor_si128(block, keys.round[0]);
  for (int32_t round = 1; round < keys.rounds; ++round) {
    block = _mm_aesdec_si128(block, keys.round[round]);
  }
  return _mm_aesdeclast_si128(block, keys.round[keys.rounds]);
}

TALVORO_AES_NI_ENTRY void HardwareProcessBlock(const AesContext* context, int direction,
                                               const uint8_t* input, uint8_t* output) {
  HardwareKeys keys{};
  LoadKeys(context, keys);
  const __m128i block = LoadBlock(input);
  StoreBlock(output,
             direction == kAesEncipher ? EncipherBlock(keys, block) : DecipherBlock(keys, block));
}

TALVORO_AES_NI_ENTRY void HardwareCbc(const AesContext* context, int direction, int32_t blocks,
                                      uint8_t* iv, const uint8_t* input, uint8_t* output) {
  HardwareKeys keys{};
  LoadKeys(context, keys);
  __m128i chain = LoadBlock(iv);
  int32_t block = 0;
  const auto in = [&](int32_t index) {
    return input + (static_cast<ptrdiff_t>(index) * kBlockBytes);
  };
  const auto out = [&](int32_t index) {
    return output + (static_cast<ptrdiff_t>(index) * kBlockBytes);
  };
  if (direction == kAesEncipher) {
    for (; block < blocks; ++block) {
      chain = EncipherBlock(keys, _mm_xor_si128(LoadBlock(in(block)), chain));
      StoreBlock(out(block), chain);
    }
    StoreBlock(iv, chain);
    return;
  }
  // Deciphering blocks do not depend on each other: four at a time keep the unit busy. All
  // four are read before any is written, which keeps in-place use right.
  for (; block + 4 <= blocks; block += 4) {
    const __m128i c0 = LoadBlock(in(block));
    const __m128i c1 = LoadBlock(in(block + 1));
    const __m128i c2 = LoadBlock(in(block + 2));
    const __m128i c3 = LoadBlock(in(block + 3));
    __m128i p0 = _mm_xor_si128(c0, keys.round[0]);
    __m128i p1 = _mm_xor_si128(c1, keys.round[0]);
    __m128i p2 = _mm_xor_si128(c2, keys.round[0]);
    __m128i p3 = _mm_xor_si128(c3, keys.round[0]);
    for (int32_t round = 1; round < keys.rounds; ++round) {
      p0 = _mm_aesdec_si128(p0, keys.round[round]);
      p1 = _mm_aesdec_si128(p1, keys.round[round]);
      p2 = _mm_aesdec_si128(p2, keys.round[round]);
      p3 = _mm_aesdec_si128(p3, keys.round[round]);
    }
    const __m128i last = keys.round[keys.rounds];
    StoreBlock(out(block), _mm_xor_si128(_mm_aesdeclast_si128(p0, last), chain));
    StoreBlock(out(block + 1), _mm_xor_si128(_mm_aesdeclast_si128(p1, last), c0));
    StoreBlock(out(block + 2), _mm_xor_si128(_mm_aesdeclast_si128(p2, last), c1));
    StoreBlock(out(block + 3), _mm_xor_si128(_mm_aesdeclast_si128(p3, last), c2));
    chain = c3;
  }
  for (; block < blocks; ++block) {
    const __m128i cipher = LoadBlock(in(block));
    StoreBlock(out(block), _mm_xor_si128(DecipherBlock(keys, cipher), chain));
    chain = cipher;
  }
  StoreBlock(iv, chain);
}

bool UseHardware() {
  static const bool available = ProcessorHasAesNi();
  return available && !gTableCodeForced.load(std::memory_order_relaxed);
}

#else

bool UseHardware() {
  return false;
}

#endif

}  // namespace

void AesExpandEncryptKey(AesContext* context, const uint8_t* key, int bits) {
  const int32_t rounds = RoundsForKeyBits(bits);
  if (rounds == 0) {
    return;
  }
#if TALVORO_AES_NI
  // The request path's size; the longer keys take the table schedule, which gives the same words.
  if (bits == 128 && UseHardware()) {
    HardwareExpand128(context->keyWords, key);
    context->rounds = rounds;
    context->roundKeys = context->keyWords;
    return;
  }
#endif
  std::call_once(gTablesOnce, AesBuildTables);

  const int keyWords = bits / 32;
  const int totalWords = 4 * (rounds + 1);
  uint32_t* words = context->keyWords;
  for (int i = 0; i < keyWords; ++i) {
    words[i] = LoadWord(key + static_cast<ptrdiff_t>(4 * i));
  }
  for (int i = keyWords; i < totalWords; ++i) {
    uint32_t temp = words[i - 1];
    if (i % keyWords == 0) {
      // RotWord moves byte 0 to the top, which in these words is a right rotation.
      temp = SubWord(std::rotr(temp, 8)) ^ gTables.roundConstants[(i / keyWords) - 1];
    } else if (keyWords > 6 && i % keyWords == 4) {
      temp = SubWord(temp);
    }
    words[i] = words[i - keyWords] ^ temp;
  }
  context->rounds = rounds;
  context->roundKeys = context->keyWords;
}

void AesExpandDecryptKey(AesContext* context, const uint8_t* key, int bits) {
  if (RoundsForKeyBits(bits) == 0) {
    return;
  }
  AesContext enciphering{};
  AesExpandEncryptKey(&enciphering, key, bits);
  const int32_t rounds = enciphering.rounds;
  const uint32_t* source = enciphering.keyWords;
  uint32_t* target = context->keyWords;

#if TALVORO_AES_NI
  if (UseHardware()) {
    HardwareInvertSchedule(target, source, rounds);
    context->rounds = rounds;
    context->roundKeys = context->keyWords;
    return;
  }
#endif
  std::call_once(gTablesOnce, AesBuildTables);
  // Round keys in reverse order; the middle ones are moved through InvMixColumns so that the
  // inverse rounds keep the enciphering order of steps.
  std::memcpy(target, source + static_cast<ptrdiff_t>(4 * rounds), 4 * sizeof(uint32_t));
  for (int32_t round = rounds - 1; round >= 1; --round) {
    for (int column = 0; column < 4; ++column) {
      target[(4 * (rounds - round)) + column] = InvMixColumn(source[(4 * round) + column]);
    }
  }
  std::memcpy(target + static_cast<ptrdiff_t>(4 * rounds), source, 4 * sizeof(uint32_t));
  context->rounds = rounds;
  context->roundKeys = context->keyWords;
}

namespace {

void TableProcessBlock(const AesContext* context, int direction, const uint8_t* input,
                       uint8_t* output) {
  const bool encipher = direction == kAesEncipher;
  const uint32_t(&tables)[4][256] = encipher ? gTables.forward : gTables.inverse;
  const uint8_t* lastBox = encipher ? gTables.sbox : gTables.inverseSbox;
  // ShiftRows takes row r of column c from column c + r; InvShiftRows from column c - r.
  const int step = encipher ? 1 : 3;
  const uint32_t* roundKey = context->keyWords;

  uint32_t state[4];
  for (int column = 0; column < 4; ++column) {
    state[column] = LoadWord(input + static_cast<ptrdiff_t>(4 * column)) ^ roundKey[column];
  }
  const auto source = [&](int column, int row) {
    return ByteOf(state[(column + (step * row)) % 4], row);
  };

  for (int32_t round = 1; round < context->rounds; ++round) {
    roundKey += 4;
    uint32_t next[4];
    for (int column = 0; column < 4; ++column) {
      next[column] = tables[0][source(column, 0)] ^ tables[1][source(column, 1)] ^
                     tables[2][source(column, 2)] ^ tables[3][source(column, 3)] ^ roundKey[column];
    }
    std::memcpy(state, next, sizeof state);
  }

  roundKey += 4;
  uint32_t last[4];
  for (int column = 0; column < 4; ++column) {
    last[column] = PackBytes(lastBox[source(column, 0)], lastBox[source(column, 1)],
                             lastBox[source(column, 2)], lastBox[source(column, 3)]) ^
                   roundKey[column];
  }
  for (int column = 0; column < 4; ++column) {
    StoreWord(last[column], output + static_cast<ptrdiff_t>(4 * column));
  }
}

void TableCbc(const AesContext* context, int direction, int32_t blocks, uint8_t* iv,
              const uint8_t* input, uint8_t* output) {
  for (int32_t block = 0; block < blocks; ++block) {
    const uint8_t* in = input + static_cast<ptrdiff_t>(block) * kBlockBytes;
    uint8_t* out = output + static_cast<ptrdiff_t>(block) * kBlockBytes;
    if (direction == kAesEncipher) {
      for (int i = 0; i < kBlockBytes; ++i) {
        out[i] = static_cast<uint8_t>(in[i] ^ iv[i]);
      }
      TableProcessBlock(context, direction, out, out);
      std::memcpy(iv, out, kBlockBytes);
    } else {
      // Set aside first: in place, deciphering overwrites the block that chains to the next.
      uint8_t cipherBlock[kBlockBytes];
      std::memcpy(cipherBlock, in, kBlockBytes);
      TableProcessBlock(context, direction, in, out);
      for (int i = 0; i < kBlockBytes; ++i) {
        out[i] = static_cast<uint8_t>(out[i] ^ iv[i]);
      }
      std::memcpy(iv, cipherBlock, kBlockBytes);
    }
  }
}

}  // namespace

void AesProcessBlock(const AesContext* context, int direction, const uint8_t* input,
                     uint8_t* output) {
#if TALVORO_AES_NI
  if (UseHardware()) {
    HardwareProcessBlock(context, direction, input, output);
    return;
  }
#endif
  // A schedule the processor's instructions made leaves the tables unbuilt.
  std::call_once(gTablesOnce, AesBuildTables);
  TableProcessBlock(context, direction, input, output);
}

// Only whole blocks are processed; no caller passes a length that is not a multiple of 16, and
// a trailing partial block is left as it is.
void AesProcessCbc(const AesContext* context, int direction, int32_t length, uint8_t* iv,
                   const uint8_t* input, uint8_t* output) {
  const int32_t blocks = length > 0 ? length / kBlockBytes : 0;
  if (blocks == 0) {
    return;
  }
#if TALVORO_AES_NI
  if (UseHardware()) {
    HardwareCbc(context, direction, blocks, iv, input, output);
    return;
  }
#endif
  std::call_once(gTablesOnce, AesBuildTables);
  TableCbc(context, direction, blocks, iv, input, output);
}

bool AesUsesHardware() {
  return UseHardware();
}

void AesForceTableCode(bool force) {
  gTableCodeForced.store(force, std::memory_order_relaxed);
}
