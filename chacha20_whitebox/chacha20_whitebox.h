// White-box ChaCha20: one-block encryption under one fixed key that is stored
// nowhere. For each nonce below 8192 the keystream block at counter 0 was
// computed at build time (chacha20_tables.inc); a call only selects it,
// serialises it and XORs it into the data.
#ifndef CHACHA20_WHITEBOX_H
#define CHACHA20_WHITEBOX_H

#include <cstdint>

// out = in XOR the keystream block of the white-box key, table nonce `nonce`
// (bytes 10-11 of the 12-byte nonce hold it big-endian, the rest are zero),
// block counter 0. out may be the same buffer as in. A nonce of 8192 or more
// has no table entry: the process stops with a failed assertion.
void chacha20_whitebox_block(std::uint16_t nonce, std::uint8_t out[64], const std::uint8_t in[64]);

#endif
