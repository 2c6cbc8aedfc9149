// Plain RSA signatures of a SHA-256 digest: no padding, no digest encoding. The digest is
// read as an integer with its first byte least significant.
#pragma once

#include <cstdint>

// Returns the signature digest^d mod n in decimal, in a malloc'd buffer of
// rsa_buffer_size bytes that the caller frees. Prints the digest integer and the
// signature, each after its label line.
char *sign(const std::uint8_t *message, std::int32_t len, const char *n, const char *d);

// 1 if signature^e mod n equals the message's digest integer, else 0. Prints the
// decrypted value after its label line.
int verify(const std::uint8_t *message, std::int32_t len, const char *n, const char *e,
           const char *signature);
