// Arbitrary-precision unsigned integers on 32-bit words, with long division and decimal
// conversion. Every value is a non-negative integer; every result is exact.
#pragma once

#include <cstdint>

// A heap record made by bignum_alloc and released by bignum_free. Zero has two forms:
// size 0, and size 1 with words[0] == 0. A non-zero value is normalised when its top word
// (words[size - 1]) is non-zero.
struct bignum {
    std::int32_t size;      // words in use
    std::int32_t capacity;  // words allocated at words; only grows
    std::uint32_t *words;   // least significant word first
};

// The constants 0 .. 10 as read-only one-word records.
extern const bignum NUMS[11];

bignum *bignum_alloc();
void bignum_free(bignum *a);

// Predicates return 1 for true, 0 for false. The comparisons look at size before any
// word, so their operands must be normalised or zero.
int bignum_iszero(const bignum *a);
int bignum_isodd(const bignum *a);
int bignum_isequal(const bignum *a, const bignum *b);
int bignum_isgreater(const bignum *a, const bignum *b);
int bignum_isless(const bignum *a, const bignum *b);
int bignum_isgeq(const bignum *a, const bignum *b);
int bignum_isleq(const bignum *a, const bignum *b);

// out = size / 4 words from rand(), least significant word drawn first; not normalised.
void bignum_random(std::int32_t size, bignum *out);

// Three-operand forms take a result record distinct from both operands. The in-place
// forms (bignum_i...) replace their first operand and accept the same record twice.
void bignum_add(bignum *result, const bignum *a, const bignum *b);
void bignum_iadd(bignum *a, const bignum *b);
void bignum_iadd_2(bignum *a);
void bignum_subtract(bignum *result, const bignum *a, const bignum *b);  // needs a >= b
void bignum_isubtract(bignum *a, const bignum *b);
void bignum_multiply(bignum *result, const bignum *a, const bignum *b);
void bignum_imultiply(bignum *a, const bignum *b);
void bignum_copy(const bignum *source, bignum *destination);
void bignum_set_zero(bignum *a);
void bignum_fromint(bignum *a, std::int32_t value);  // the 32 bits of value, as one word

// quotient = floor(dividend / divisor), remainder = dividend mod divisor; four distinct
// records. 0 / 0 gives 0 remainder 0; a non-zero value divided by zero aborts.
void bignum_divide(bignum *quotient, bignum *remainder, const bignum *dividend,
                   const bignum *divisor);
void bignum_idivide(bignum *a, const bignum *b);
void bignum_idivide_2(bignum *a);
void bignum_mod(const bignum *a, const bignum *b, bignum *remainder);
void bignum_idivider(bignum *a, const bignum *b, bignum *remainder);
void bignum_imod(bignum *a, const bignum *b);

// Decimal conversion. fromstring reads digits only (leading zeros allowed, "" is zero)
// and aborts on any other character; tostring returns a malloc'd string the caller frees.
void bignum_fromstring(bignum *a, const char *text);
char *bignum_tostring(const bignum *a);
