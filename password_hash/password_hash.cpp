// password_hash: prints the SHA-512-crypt hash of the password "602948137"
// under a salt drawn from rand(), seeded with the process id and the time.
//
// crypt comes from libxcrypt. It reports failure either with a null pointer
// or with a "failure token", a short string starting with '*' that can never
// be a valid hash; both end the program with a message and exit status 1.
#include "password_hash.h"

#include <crypt.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <sstream>
#include <string>

namespace {

// One line on standard error: "password_hash: <what>[: <reason>]".
void report_failure(const char *what, int error) {
    std::cerr << "password_hash: " << what;
    if (error != 0) {
        std::cerr << ": " << std::strerror(error);
    }
    std::cerr << '\n';
}

}  // namespace

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
