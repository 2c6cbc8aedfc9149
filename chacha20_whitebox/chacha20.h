// ChaCha20 reference block function (RFC 7539, sections 2.1 to 2.3).
//
// Six small functions over a 16-word state in the RFC's input layout:
// words 0-3 the constants "expand 32-byte k", 4-11 the key, 12 the block
// counter, 13-15 the nonce, all little-endian. None checks its arguments:
// every pointer must address a buffer of the stated size.
#ifndef CHACHA20_H
#define CHACHA20_H

#include <cstdint>

typedef std::uint32_t chacha20_state[16];

// Fills all 16 words of state from key, nonce and block counter.
void chacha20_key_expand(chacha20_state state, const std::uint8_t key[32],
                         const std::uint8_t nonce[12], std::uint32_t counter);

// The 20 rounds (10 double rounds), in place, without the feed-forward.
void chacha20_core_qr(std::uint32_t x[16]);

// x[i] += y[i] for every word: the feed-forward addition.
void chacha20_core_sum(std::uint32_t x[16], const std::uint32_t y[16]);

// Writes the 16 words as 64 little-endian bytes.
void chacha20_serialize(std::uint8_t out[64], const std::uint32_t x[16]);

// One keystream block of state; the state is left unchanged.
void chacha20_core(std::uint8_t out[64], const std::uint32_t state[16]);

// out = in XOR the keystream block of state, then the block counter (word 12)
// advances by one, wrapping at 2^32 without carrying into the nonce.
// out may be the same buffer as in.
void chacha20_block(chacha20_state state, std::uint8_t out[64], const std::uint8_t in[64]);

#endif
