// The data compiled into signature_client (its message and demonstration key pair), read
// from the driver's source text, so that tests and benchmarks run the built program as it
// is and still know what it holds.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace test_support {

inline std::string file_text(const char *path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The concatenated string literals that initialise `const char name[] =` in source, up to
// the closing semicolon; empty when there is no such definition. The driver's strings have
// no escape sequences, so the characters between the quotes are taken as they are.
inline std::string c_string(const std::string &source, const std::string &name) {
    const std::size_t at = source.find("const char " + name + "[] =");
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t end = source.find(';', at);
    std::string value;
    std::size_t open = source.find('"', at);
    while (open < end) {
        const std::size_t close = source.find('"', open + 1);
        if (close == std::string::npos) {
            break;
        }
        value += source.substr(open + 1, close - open - 1);
        open = source.find('"', close + 1);
    }
    return value;
}

}  // namespace test_support
