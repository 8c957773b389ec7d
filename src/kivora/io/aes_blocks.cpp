#include "kivora/io/aes_blocks.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KIVORA_AES_X86 1
#endif

namespace kivora {

#if defined(KIVORA_AES_X86)
namespace {

#define KIVORA_AES_TARGET __attribute__((target("aes,sse2")))

// One step of the AES-128 key schedule: the previous round key and the
// key-generation assist of it with this round's constant.
KIVORA_AES_TARGET inline __m128i NextRoundKey(__m128i key, __m128i assist) {
  assist = _mm_shuffle_epi32(assist, 0xFF);
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  return _mm_xor_si128(key, assist);
}

// The eleven encryption round keys. The round constant must be an
// immediate, hence the unrolled steps.
KIVORA_AES_TARGET void ExpandKey(const uint8_t key[16], __m128i k[11]) {
  k[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
#define KIVORA_AES_STEP(i, rcon) k[i] = NextRoundKey(k[i - 1], _mm_aeskeygenassist_si128(k[i - 1], rcon))
  KIVORA_AES_STEP(1, 0x01);
  KIVORA_AES_STEP(2, 0x02);
  KIVORA_AES_STEP(3, 0x04);
  KIVORA_AES_STEP(4, 0x08);
  KIVORA_AES_STEP(5, 0x10);
  KIVORA_AES_STEP(6, 0x20);
  KIVORA_AES_STEP(7, 0x40);
  KIVORA_AES_STEP(8, 0x80);
  KIVORA_AES_STEP(9, 0x1B);
  KIVORA_AES_STEP(10, 0x36);
#undef KIVORA_AES_STEP
}

KIVORA_AES_TARGET void Crypt(const uint8_t key[16], uint8_t* data, int64_t blocks, bool decrypt) {
  __m128i k[11];
  ExpandKey(key, k);
  if (decrypt) {
    // The equivalent inverse cipher: round keys in reverse order, the
    // inner ones through InvMixColumns.
    __m128i d[11];
    d[0] = k[10];
    for (int i = 1; i < 10; ++i) d[i] = _mm_aesimc_si128(k[10 - i]);
    d[10] = k[0];
    for (int i = 0; i < 11; ++i) k[i] = d[i];
  }
  auto* p = reinterpret_cast<__m128i*>(data);
  int64_t i = 0;
  // Four blocks at a time keep the AES unit busy; one at a time for the rest.
  for (; i + 4 <= blocks; i += 4) {
    __m128i x0 = _mm_xor_si128(_mm_loadu_si128(p + i), k[0]);
    __m128i x1 = _mm_xor_si128(_mm_loadu_si128(p + i + 1), k[0]);
    __m128i x2 = _mm_xor_si128(_mm_loadu_si128(p + i + 2), k[0]);
    __m128i x3 = _mm_xor_si128(_mm_loadu_si128(p + i + 3), k[0]);
    for (int r = 1; r < 10; ++r) {
      if (decrypt) {
        x0 = _mm_aesdec_si128(x0, k[r]);
        x1 = _mm_aesdec_si128(x1, k[r]);
        x2 = _mm_aesdec_si128(x2, k[r]);
        x3 = _mm_aesdec_si128(x3, k[r]);
      } else {
        x0 = _mm_aesenc_si128(x0, k[r]);
        x1 = _mm_aesenc_si128(x1, k[r]);
        x2 = _mm_aesenc_si128(x2, k[r]);
        x3 = _mm_aesenc_si128(x3, k[r]);
      }
    }
    if (decrypt) {
      x0 = _mm_aesdeclast_si128(x0, k[10]);
      x1 = _mm_aesdeclast_si128(x1, k[10]);
      x2 = _mm_aesdeclast_si128(x2, k[10]);
      x3 = _mm_aesdeclast_si128(x3, k[10]);
    } else {
      x0 = _mm_aesenclast_si128(x0, k[10]);
      x1 = _mm_aesenclast_si128(x1, k[10]);
      x2 = _mm_aesenclast_si128(x2, k[10]);
      x3 = _mm_aesenclast_si128(x3, k[10]);
    }
    _mm_storeu_si128(p + i, x0);
    _mm_storeu_si128(p + i + 1, x1);
    _mm_storeu_si128(p + i + 2, x2);
    _mm_storeu_si128(p + i + 3, x3);
  }
  for (; i < blocks; ++i) {
    __m128i x = _mm_xor_si128(_mm_loadu_si128(p + i), k[0]);
    for (int r = 1; r < 10; ++r) x = decrypt ? _mm_aesdec_si128(x, k[r]) : _mm_aesenc_si128(x, k[r]);
    x = decrypt ? _mm_aesdeclast_si128(x, k[10]) : _mm_aesenclast_si128(x, k[10]);
    _mm_storeu_si128(p + i, x);
  }
}

}  // namespace

bool HasAesInstructions() {
  static const bool has = __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse2");
  return has;
}

bool CryptBlocksWithAesInstructions(const uint8_t key[16], uint8_t* data, int64_t blocks, bool decrypt) {
  if (!HasAesInstructions()) return false;
  if (blocks > 0) Crypt(key, data, blocks, decrypt);
  return true;
}

#else

bool HasAesInstructions() { return false; }

bool CryptBlocksWithAesInstructions(const uint8_t*, uint8_t*, int64_t, bool) { return false; }

#endif

}  // namespace kivora
