// AES in cipher block chaining mode (NIST SP 800-38A) with zero padding of a
// final partial block. Each call keys its own context and frees it.
#pragma once

#include <cstddef>
#include <cstdint>

// Encrypts len plaintext bytes into out and returns the ciphertext length B,
// len rounded up to a multiple of 16; a final partial block is completed with
// zero bytes. out must hold B bytes and must not overlap in; iv is only read.
// When key_len is not 16, 24 or 32, or the context cannot be allocated,
// returns 0 and writes nothing to out.
std::size_t AES_CBC_encrypt(const std::uint8_t *in, std::uint8_t *out, std::size_t len,
                            const std::uint8_t *key, std::size_t key_len,
                            const std::uint8_t iv[16]);

// Decrypts B ciphertext bytes (len rounded up to a multiple of 16) into out,
// len being the plaintext length given to AES_CBC_encrypt. out receives the
// len plaintext bytes followed by zero bytes up to B, which terminates a text
// plaintext. out must not overlap in; iv is only read. When key_len is not
// 16, 24 or 32, or the context cannot be allocated, writes nothing to out.
void AES_CBC_decrypt(const std::uint8_t *in, std::uint8_t *out, std::size_t len,
                     const std::uint8_t *key, std::size_t key_len, const std::uint8_t iv[16]);
