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

// One inner round and the last round of either direction.
template <bool Decrypt>
KIVORA_AES_TARGET inline __m128i Round(__m128i x, __m128i k) {
  return Decrypt ? _mm_aesdec_si128(x, k) : _mm_aesenc_si128(x, k);
}
template <bool Decrypt>
KIVORA_AES_TARGET inline __m128i LastRound(__m128i x, __m128i k) {
  return Decrypt ? _mm_aesdeclast_si128(x, k) : _mm_aesenclast_si128(x, k);
}

// Runs the rounds over n blocks side by side; several blocks at once keep
// the AES unit busy while each waits for its previous round.
template <bool Decrypt, int N>
KIVORA_AES_TARGET inline void CryptSideBySide(const __m128i k[11], __m128i* p) {
  __m128i x[N];
  for (int j = 0; j < N; ++j) x[j] = _mm_xor_si128(_mm_loadu_si128(p + j), k[0]);
  for (int r = 1; r < 10; ++r)
    for (int j = 0; j < N; ++j) x[j] = Round<Decrypt>(x[j], k[r]);
  for (int j = 0; j < N; ++j) _mm_storeu_si128(p + j, LastRound<Decrypt>(x[j], k[10]));
}

template <bool Decrypt>
KIVORA_AES_TARGET void CryptAll(const __m128i k[11], __m128i* p, int64_t blocks) {
  int64_t i = 0;
  for (; i + 4 <= blocks; i += 4) CryptSideBySide<Decrypt, 4>(k, p + i);
  for (; i < blocks; ++i) CryptSideBySide<Decrypt, 1>(k, p + i);
}

KIVORA_AES_TARGET void Crypt(const uint8_t key[16], uint8_t* data, int64_t blocks, bool decrypt) {
  __m128i k[11];
  ExpandKey(key, k);
  auto* p = reinterpret_cast<__m128i*>(data);
  if (!decrypt) {
    CryptAll<false>(k, p, blocks);
    return;
  }
  // The equivalent inverse cipher: round keys in reverse order, the inner
  // ones through InvMixColumns.
  __m128i d[11];
  d[0] = k[10];
  for (int i = 1; i < 10; ++i) d[i] = _mm_aesimc_si128(k[10 - i]);
  d[10] = k[0];
  CryptAll<true>(d, p, blocks);
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
