#include "crypto/aes.h"

#include <bit>
#include <cstddef>
#include <cstring>
#include <mutex>

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

}  // namespace

void AesExpandEncryptKey(AesContext* context, const uint8_t* key, int bits) {
  const int32_t rounds = RoundsForKeyBits(bits);
  if (rounds == 0) {
    return;
  }
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

void AesProcessBlock(const AesContext* context, int direction, const uint8_t* input,
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

// Only whole blocks are processed; no caller passes a length that is not a multiple of 16, and
// a trailing partial block is left as it is.
void AesProcessCbc(const AesContext* context, int direction, int32_t length, uint8_t* iv,
                   const uint8_t* input, uint8_t* output) {
  const int32_t blocks = length > 0 ? length / kBlockBytes : 0;
  for (int32_t block = 0; block < blocks; ++block) {
    const uint8_t* in = input + static_cast<ptrdiff_t>(block) * kBlockBytes;
    uint8_t* out = output + static_cast<ptrdiff_t>(block) * kBlockBytes;
    if (direction == kAesEncipher) {
      for (int i = 0; i < kBlockBytes; ++i) {
        out[i] = static_cast<uint8_t>(in[i] ^ iv[i]);
      }
      AesProcessBlock(context, direction, out, out);
      std::memcpy(iv, out, kBlockBytes);
    } else {
      // Set aside first: in place, deciphering overwrites the block that chains to the next.
      uint8_t cipherBlock[kBlockBytes];
      std::memcpy(cipherBlock, in, kBlockBytes);
      AesProcessBlock(context, direction, in, out);
      for (int i = 0; i < kBlockBytes; ++i) {
        out[i] = static_cast<uint8_t>(out[i] ^ iv[i]);
      }
      std::memcpy(iv, cipherBlock, kBlockBytes);
    }
  }
}
