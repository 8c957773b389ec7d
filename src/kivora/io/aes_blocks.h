// AES-128 ECB over whole 16-byte blocks with the processor's AES
// instructions. FFmpeg 5.1's AES is portable C (about 110 MB/s here), too
// slow to decrypt 1080p media at a comfortable margin; the instructions run
// at several GB/s. Results are byte for byte what av_aes_crypt gives.
#pragma once

#include <cstdint>

namespace kivora {

// True when this processor has the AES instructions.
bool HasAesInstructions();

// Encrypts or decrypts `blocks` 16-byte blocks of data in place under the
// 16-byte key. Returns false, touching nothing, when the processor lacks
// the instructions; the caller then uses libavutil.
bool CryptBlocksWithAesInstructions(const uint8_t key[16], uint8_t* data, int64_t blocks, bool decrypt);

}  // namespace kivora
