// The salt of password_hash: its seed from the process id and the time, and its
// characters drawn from rand().
#include <cstdint>
#include <cstdlib>

#include "password_hash.h"

namespace {

// The characters a salt is drawn from, indexed 0 to 53. The digits are left
// out on purpose.
constexpr char salt_alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ./";
constexpr unsigned int salt_alphabet_size = sizeof(salt_alphabet) - 1;
static_assert(salt_alphabet_size == 54);

}  // namespace

unsigned int salt_seed(pid_t pid, std::time_t now) {
    // Multiply as unsigned 64-bit numbers: the low 32 bits are those of the
    // true product, and no signed overflow can occur.
    const std::uint64_t product = static_cast<std::uint64_t>(pid) * static_cast<std::uint64_t>(now);
    return static_cast<unsigned int>(product & 0xffffffffu);
}

void draw_salt(unsigned int seed, std::ostream *out) {
    std::srand(seed);
    for (int i = 0; i < salt_length; i++) {
        // rand() is never negative, so the remainder is a valid index.
        const unsigned int index = static_cast<unsigned int>(std::rand()) % salt_alphabet_size;
        *out << salt_alphabet[index];
    }
}
