// White-box ChaCha20 lookup.
//
// The range assertion inside the generated table must fire in every build
// type: without it a nonce of 8192 or more would leave the keystream words
// uninitialised and XOR stack memory into the caller's data. So this unit
// keeps the standard assertion active even when NDEBUG is defined.
#undef NDEBUG
#include <cassert>

#include "chacha20_whitebox.h"

#include "chacha20.h"

// Defines the file-local chacha20_core_table(nonce, words); generated at build
// time by chacha20_tables_generator from the white-box key.
#include "chacha20_tables.inc"

void chacha20_whitebox_block(std::uint16_t nonce, std::uint8_t out[64], const std::uint8_t in[64]) {
    std::uint32_t words[16];
    std::uint8_t ks[64];
    chacha20_core_table(nonce, words);
    chacha20_serialize(ks, words);
    for (int i = 0; i < 64; i++) {
        out[i] = in[i] ^ ks[i];
    }
}
