// Test build only: a crypt() that always fails, linked into a copy of
// password_hash. A definition in the executable itself comes first in symbol
// lookup, so the program's call lands here and not in libxcrypt.
//
// CRYPT_FAILS_WITH_NULL selects how it fails, as libxcrypt can: 1 returns a
// null pointer (errno ENOMEM), 0 returns the failure token "*0" (errno EINVAL).
#include <crypt.h>

#include <cerrno>

char *crypt(const char *phrase, const char *setting) noexcept {
    static_cast<void>(phrase);
    static_cast<void>(setting);
#if CRYPT_FAILS_WITH_NULL
    errno = ENOMEM;
    return nullptr;
#else
    static char failure_token[] = "*0";
    errno = EINVAL;
    return failure_token;
#endif
}
