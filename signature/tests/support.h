// Helpers shared by the signature tests: GMP integers and bignum records that free
// themselves, and the conversions between them.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bignum.h"

namespace test_support {

using Words = std::vector<std::uint32_t>;

struct Z {
    mpz_t v;
    Z() {
        mpz_init(v);
    }
    explicit Z(const std::string &dec) {
        mpz_init_set_str(v, dec.c_str(), 10);
    }
    ~Z() {
        mpz_clear(v);
    }
    Z(const Z &) = delete;
    Z &operator=(const Z &) = delete;
    std::string str() const {
        char *s = mpz_get_str(nullptr, 10, v);
        std::string r(s);
        std::free(s);
        return r;
    }
};

struct Num {
    bignum *p;
    Num() : p(bignum_alloc()) {}
    explicit Num(const Words &w) : p(bignum_alloc()) {
        set(w);
    }
    explicit Num(const char *dec) : p(bignum_alloc()) {
        bignum_fromstring(p, dec);
    }
    ~Num() {
        bignum_free(p);
    }
    Num(const Num &) = delete;
    Num &operator=(const Num &) = delete;
    operator bignum *() const {
        return p;
    }
    // Sets the words (and so the size) exactly, also non-normalised ones.
    void set(const Words &w) {
        bignum src{static_cast<std::int32_t>(w.size()), static_cast<std::int32_t>(w.size()),
                   const_cast<std::uint32_t *>(w.data())};
        bignum_copy(&src, p);
    }
    Words words() const {
        return Words(p->words, p->words + p->size);
    }
    std::string str() const {
        char *s = bignum_tostring(p);
        std::string r(s);
        std::free(s);
        return r;
    }
};

inline void to_mpz(const bignum *a, mpz_t out) {
    mpz_import(out, a->size, -1, sizeof(std::uint32_t), 0, 0, a->words);
}

}  // namespace test_support
