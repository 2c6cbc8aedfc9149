// HMAC-SHA-256 (RFC 2104) in one call.
#pragma once

#include <cstdint>

// Writes the 32-byte MAC of text_len bytes of text under a key of any length.
void hmac_sha256(const std::uint8_t *text, std::uint64_t text_len, const std::uint8_t *key,
                 std::uint32_t key_len, std::uint8_t mac[32]);
