// Read-only tables of the AES module, derived at compile time from their
// definitions in FIPS-197 (section 4 for the field, 5.1.1 for the S-box,
// 5.2 for the round constants). Only aes.cpp and its tests include this.
#pragma once

#include <array>
#include <cstdint>

namespace aes_tables {

// Multiplication by x in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr std::uint8_t xtime(std::uint8_t a) {
    return static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0x00));
}

constexpr std::uint8_t gf_mul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t p = 0;
    for (int i = 0; i < 8; i++) {
        if (a & 1)
            p ^= b;
        a >>= 1;
        b = xtime(b);
    }
    return p;
}

// a^254 = a^-1 for a != 0, and 0 for a == 0, which is the convention the
// S-box uses.
constexpr std::uint8_t gf_inverse(std::uint8_t a) {
    std::uint8_t result = 1;
    std::uint8_t base = a;
    for (int e = 254; e > 0; e >>= 1) {
        if (e & 1)
            result = gf_mul(result, base);
        base = gf_mul(base, base);
    }
    return result;
}

constexpr std::uint8_t rotl8(std::uint8_t v, int n) {
    return static_cast<std::uint8_t>((v << n) | (v >> (8 - n)));
}

// S-box: the inverse followed by the affine map b ^ rotl(b,1..4) ^ 0x63.
constexpr std::array<std::uint8_t, 256> make_sbox() {
    std::array<std::uint8_t, 256> t{};
    for (int i = 0; i < 256; i++) {
        std::uint8_t b = gf_inverse(static_cast<std::uint8_t>(i));
        t[i] = static_cast<std::uint8_t>(b ^ rotl8(b, 1) ^ rotl8(b, 2) ^ rotl8(b, 3) ^ rotl8(b, 4) ^
                                         0x63);
    }
    return t;
}

constexpr std::array<std::uint8_t, 256> make_inv_sbox(const std::array<std::uint8_t, 256> &s) {
    std::array<std::uint8_t, 256> t{};
    for (int i = 0; i < 256; i++)
        t[s[i]] = static_cast<std::uint8_t>(i);
    return t;
}

// Powers of x starting from x^-1 = 0x8d: entry i >= 1 is x^(i-1), the round
// constant byte of key-schedule step i. The sequence has period 51 here
// because it is taken over 255 entries starting one step early.
constexpr std::array<std::uint8_t, 255> make_rcon() {
    std::array<std::uint8_t, 255> t{};
    t[0] = 0x8d;
    for (std::size_t i = 1; i < t.size(); i++)
        t[i] = xtime(t[i - 1]);
    return t;
}

inline constexpr std::array<std::uint8_t, 256> sbox = make_sbox();
inline constexpr std::array<std::uint8_t, 256> inv_sbox = make_inv_sbox(sbox);
inline constexpr std::array<std::uint8_t, 255> rcon = make_rcon();

// Spot checks against the published tables; the tests compare every entry.
static_assert(sbox[0x00] == 0x63 && sbox[0x53] == 0xed && sbox[0xff] == 0x16);
static_assert(inv_sbox[0x63] == 0x00 && inv_sbox[0x00] == 0x52);
static_assert(rcon[0] == 0x8d && rcon[1] == 0x01 && rcon[9] == 0x1b && rcon[10] == 0x36);

}  // namespace aes_tables
