// Hex conversion for the tests: test vectors written as hex strings, and bytes
// printed as lower-case hex to compare with them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The bytes of hex digit pairs; any other character (a space grouping the
// digits) is passed over.
inline std::vector<std::uint8_t> from_hex(std::string_view hex) {
    std::vector<std::uint8_t> out;
    int high = -1;
    for (char ch : hex) {
        int v;
        if (ch >= '0' && ch <= '9') {
            v = ch - '0';
        } else if (ch >= 'a' && ch <= 'f') {
            v = ch - 'a' + 10;
        } else if (ch >= 'A' && ch <= 'F') {
            v = ch - 'A' + 10;
        } else {
            continue;
        }
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

inline std::string to_hex(const std::uint8_t *bytes, std::size_t len) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < len; i++) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

inline std::string to_hex(const std::vector<std::uint8_t> &v) {
    return to_hex(v.data(), v.size());
}
