// AES-CMAC (RFC 4493, NIST SP 800-38B with AES-128) over a message held whole
// in memory.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes the full 16-byte tag of msg[0 .. len-1] under the 16-byte key to
// mac. Only the len message bytes are read (msg may be null when len is 0).
// When the cipher context cannot be allocated, mac is left unwritten.
void aes_cmac(const std::uint8_t *msg, std::size_t len, const std::uint8_t key[16],
              std::uint8_t mac[16]);
