// RSA key generation, the RSA operation on decimal strings, and byte-string-to-decimal
// conversion. Keys and values cross this interface as decimal strings.
#pragma once

#include <cstdint>

#include "bignum.h"

// rsa_encrypt, rsa_decrypt, sign and verify write every decimal result into a buffer of
// this many bytes, so it may have at most rsa_buffer_size - 1 digits. A longer result
// aborts rather than overflow.
constexpr int rsa_buffer_size = 2048;

// Draws two probable primes of size / 4 words each from rand() and writes n, d, e and, if
// phi_out is not null, phi as decimal strings into the caller's buffers, which must hold
// each string and its NUL (2048 bytes are enough for size 128).
// Prints one dot per prime candidate and the lines "p = ..." and "q = ...".
void rsa_generate_key_pair(char *n_out, char *d_out, char *e_out, char *phi_out, std::int32_t size);

// result = a^-1 mod m, for gcd(a, m) = 1.
void modular_inverse(const bignum *a, const bignum *m, bignum *result);

// out = in^exponent mod modulus in decimal; in_len is not used (in is read to its NUL).
void rsa_encrypt(char *out, const char *in, std::int32_t in_len, const char *modulus,
                 const char *exponent);
// The same operation as rsa_encrypt.
void rsa_decrypt(char *out, const char *in, std::int32_t in_len, const char *modulus,
                 const char *exponent);

// The decimal value of len bytes read with the first byte least significant; the caller
// frees the string.
char *rsa_bin2dec(const std::uint8_t *bytes, std::int32_t len);
