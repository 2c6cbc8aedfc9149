// password_hash: prints the SHA-512-crypt hash of the password "602948137"
// under a salt drawn from rand(), seeded with the process id and the time.
//
// crypt comes from libxcrypt. It reports failure either with a null pointer
// or with a "failure token", a short string starting with '*' that can never
// be a valid hash; both end the program with a message and exit status 1.
#include "password_hash.h"

#include <crypt.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

namespace {

// The characters a salt is drawn from, indexed 0 to 53. The digits are left
// out on purpose.
constexpr char salt_alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ./";
constexpr unsigned int salt_alphabet_size = sizeof(salt_alphabet) - 1;
static_assert(salt_alphabet_size == 54);

// One line on standard error: "password_hash: <what>[: <reason>]".
void report_failure(const char *what, int error) {
    std::cerr << "password_hash: " << what;
    if (error != 0) {
        std::cerr << ": " << std::strerror(error);
    }
    std::cerr << '\n';
}

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

void set_echo(bool enable) {
    termios attributes{};
    // Without the current attributes there is nothing safe to write back
    // (standard input is not a terminal, or is closed).
    if (tcgetattr(STDIN_FILENO, &attributes) != 0) {
        return;
    }
    if (enable) {
        attributes.c_lflag |= ECHO;
    } else {
        attributes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &attributes);
}

std::string read_hidden_word() {
    std::string word;
    set_echo(false);
    std::cin >> word;
    set_echo(true);
    return word;
}

int main() {
    std::stringstream salt;
    draw_salt(salt_seed(getpid(), std::time(nullptr)), &salt);

    const std::string password = "602948137";
    const std::string setting = "$6$" + salt.str() + "$";

    errno = 0;
    const char *hash = crypt(password.c_str(), setting.c_str());
    if (hash == nullptr || hash[0] == '*') {
        report_failure("crypt could not hash the password", errno);
        return 1;
    }

    std::cout << hash << '\n' << std::flush;
    if (!std::cout) {
        report_failure("could not write to standard output", errno);
        return 1;
    }
    return 0;
}
