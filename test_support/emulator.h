// Tests that start a program of this build. Natively the program runs as it
// is; in a cross build it runs under the emulator (qemu-user and its options)
// that CTest puts in the environment variable TEST_EMULATOR, words separated
// by spaces.
#pragma once

#include <stdlib.h>

#include <string>
#include <vector>

namespace test_emulator {

// The emulator's command words: none natively.
inline std::vector<std::string> words() {
    std::vector<std::string> out;
    const char *text = getenv("TEST_EMULATOR");
    std::string word;
    for (const char *p = text != nullptr ? text : "";; p++) {
        if (*p != ' ' && *p != '\0') {
            word += *p;
            continue;
        }
        if (!word.empty()) {
            out.push_back(word);
        }
        word.clear();
        if (*p == '\0') {
            return out;
        }
    }
}

// A shell command line (for popen) that runs program, a path without spaces.
inline std::string command(const char *program) {
    std::string line;
    for (const std::string &w : words()) {
        line += w + " ";
    }
    return line + program;
}

// The style of death tests. "threadsafe" starts the test program again, which
// a program of another architecture cannot do from inside the emulator;
// there "fast" forks the test process instead.
inline const char *death_test_style() {
    return words().empty() ? "threadsafe" : "fast";
}

}  // namespace test_emulator
