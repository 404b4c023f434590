// AES (FIPS-197) for 128-, 192- and 256-bit keys, one block in either direction, and CBC
// (SP 800-38A). The processor's AES instructions (AES-NI) where it has them, chosen at run time;
// otherwise table-driven, the tables built once per process, safely from any thread. Both give
// the same schedules, so a context set up by either serves both.
#pragma once

#include <cstdint>

struct AesContext {
  int32_t rounds;         // 10, 12 or 14
  uint32_t* roundKeys;    // always the start of keyWords of the same context
  uint32_t keyWords[68];  // 4 * (rounds + 1) of them in use
};

inline constexpr int kAesEncipher = 0;
inline constexpr int kAesDecipher = 1;

// `bits` is 128, 192 or 256; any other value leaves the context untouched.
void AesExpandEncryptKey(AesContext* context, const uint8_t* key, int bits);
// The equivalent inverse cipher's schedule; same sizes and the same refusal.
void AesExpandDecryptKey(AesContext* context, const uint8_t* key, int bits);

// `direction` 0 enciphers, anything else deciphers; the context must hold that direction's
// schedule. Input and output may be the same block.
void AesProcessBlock(const AesContext* context, int direction, const uint8_t* input,
                     uint8_t* output);

// CBC over `length` bytes (a multiple of 16; nothing is done for 0 or less). `iv` is read and
// left holding the last ciphertext block, so a second call continues the chain.
void AesProcessCbc(const AesContext* context, int direction, int32_t length, uint8_t* iv,
                   const uint8_t* input, uint8_t* output);

// True when calls take the processor's AES instructions: the build can emit them, the processor
// has them, and the table code is not forced.
bool AesUsesHardware();

// Tests: true sends every later call through the table code, as on a processor without AES-NI;
// false goes back to the run-time choice.
void AesForceTableCode(bool force);
