// Big-number core (allocation, comparison, add, subtract, schoolbook multiply) and long
// division with decimal conversion. Division follows Knuth, TAOCP vol. 2, 4.3.1
// Algorithm D, on 32-bit words.
#include "bignum.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// These functions have no error channel: a broken contract stops the process loudly.
[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "bignum: %s\n", what);
    std::abort();
}

constexpr std::int32_t initial_capacity = 20;

// Grows a's word array to capacity words; the words gained are not cleared.
void grow(bignum *a, std::int32_t capacity) {
    void *words = std::realloc(a->words, sizeof(std::uint32_t) * capacity);
    if (words == nullptr) {
        fail("out of memory");
    }
    a->words = static_cast<std::uint32_t *>(words);
    a->capacity = capacity;
}

// Size of the first len words of w once its zero top words are dropped.
std::int32_t top_size(const std::uint32_t *w, std::int32_t len) {
    while (len > 0 && w[len - 1] == 0) {
        len--;
    }
    return len;
}

// out[0 .. len-1] = in shifted left by shift (0 .. 31) bits; returns the bits shifted out.
std::uint32_t shift_left(std::uint32_t *out, const std::uint32_t *in, std::int32_t len, int shift) {
    std::uint32_t carry = 0;
    for (std::int32_t i = 0; i < len; i++) {
        std::uint32_t v = in[i];
        out[i] = v << shift | carry;
        carry = shift > 0 ? v >> (32 - shift) : 0;
    }
    return carry;
}

constexpr std::uint32_t DATA[11] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

constexpr bignum constant(int k) {
    // The records are const and nothing writes through them; DATA lives in read-only memory.
    return bignum{1, 1, const_cast<std::uint32_t *>(&DATA[k])};
}

}  // namespace

const bignum NUMS[11] = {constant(0), constant(1), constant(2), constant(3),
                         constant(4), constant(5), constant(6), constant(7),
                         constant(8), constant(9), constant(10)};

bignum *bignum_alloc() {
    auto *a = static_cast<bignum *>(std::malloc(sizeof(bignum)));
    auto *words =
        static_cast<std::uint32_t *>(std::calloc(initial_capacity, sizeof(std::uint32_t)));
    if (a == nullptr || words == nullptr) {
        fail("out of memory");
    }
    a->size = 0;
    a->capacity = initial_capacity;
    a->words = words;
    return a;
}

void bignum_free(bignum *a) {
    std::free(a->words);
    std::free(a);
}

int bignum_iszero(const bignum *a) {
    return a->size == 0 || (a->size == 1 && a->words[0] == 0);
}

int bignum_isodd(const bignum *a) {
    return a->size == 0 ? 0 : static_cast<int>(a->words[0] & 1);
}

int bignum_isequal(const bignum *a, const bignum *b) {
    int za = bignum_iszero(a), zb = bignum_iszero(b);
    if (za || zb) {
        return za && zb;
    }
    if (a->size != b->size) {
        return 0;
    }
    return std::memcmp(a->words, b->words, sizeof(std::uint32_t) * a->size) == 0;
}

int bignum_isgreater(const bignum *a, const bignum *b) {
    if (bignum_iszero(a)) {
        return 0;
    }
    if (bignum_iszero(b)) {
        return 1;
    }
    if (a->size != b->size) {
        return a->size > b->size;
    }
    for (std::int32_t i = a->size - 1; i >= 0; i--) {
        if (a->words[i] != b->words[i]) {
            return a->words[i] > b->words[i];
        }
    }
    return 0;
}

int bignum_isless(const bignum *a, const bignum *b) {
    if (bignum_iszero(b)) {
        return 0;
    }
    if (bignum_iszero(a)) {
        return 1;
    }
    if (a->size != b->size) {
        return a->size < b->size;
    }
    for (std::int32_t i = a->size - 1; i >= 0; i--) {
        if (a->words[i] != b->words[i]) {
            return a->words[i] < b->words[i];
        }
    }
    return 0;
}

int bignum_isgeq(const bignum *a, const bignum *b) {
    return !bignum_isless(a, b);
}

int bignum_isleq(const bignum *a, const bignum *b) {
    return !bignum_isgreater(a, b);
}

void bignum_random(std::int32_t size, bignum *out) {
    std::int32_t w = size / 4;
    if (out->capacity < w) {
        grow(out, w);
    }
    out->size = w;
    for (std::int32_t i = 0; i < w; i++) {
        out->words[i] = static_cast<std::uint32_t>(std::rand());
    }
}

void bignum_add(bignum *result, const bignum *a, const bignum *b) {
    std::int32_t n = a->size > b->size ? a->size : b->size;
    if (n >= result->capacity) {
        grow(result, n + 1);
    }
    std::uint64_t carry = 0;
    for (std::int32_t i = 0; i < n; i++) {
        std::uint64_t s = carry;
        if (i < a->size) {
            s += a->words[i];
        }
        if (i < b->size) {
            s += b->words[i];
        }
        result->words[i] = static_cast<std::uint32_t>(s);
        carry = s >> 32;
    }
    if (carry != 0) {
        result->words[n] = 1;
        result->size = n + 1;
    } else {
        result->size = n;
    }
}

void bignum_subtract(bignum *result, const bignum *a, const bignum *b) {
    if (a->size > result->capacity) {
        grow(result, a->size);
    }
    std::uint64_t borrow = 0;
    std::int32_t last = 0;
    for (std::int32_t i = 0; i < a->size; i++) {
        std::uint64_t t = borrow + (i < b->size ? b->words[i] : 0);
        result->words[i] = static_cast<std::uint32_t>(a->words[i] - t);
        borrow = t > a->words[i] ? 1 : 0;
        if (result->words[i] != 0) {
            last = i + 1;
        }
    }
    result->size = last;
}

void bignum_multiply(bignum *result, const bignum *a, const bignum *b) {
    std::int32_t n = a->size + b->size;
    if (n > result->capacity) {
        grow(result, n);
    }
    std::uint32_t *r = result->words;
    if (n > 0) {
        std::memset(r, 0, sizeof(std::uint32_t) * n);
    }
    // Row by row; a carry of the row goes into the word above it, which is still zero.
    for (std::int32_t i = 0; i < a->size; i++) {
        std::uint64_t ai = a->words[i];
        std::uint64_t carry = 0;
        for (std::int32_t j = 0; j < b->size; j++) {
            std::uint64_t t = ai * b->words[j] + r[i + j] + carry;  // cannot overflow
            r[i + j] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        if (b->size > 0) {
            r[i + b->size] = static_cast<std::uint32_t>(carry);
        }
    }
    if (bignum_iszero(a) || bignum_iszero(b)) {
        result->size = 0;
    } else {
        result->size = r[n - 1] == 0 ? n - 1 : n;
    }
}

void bignum_copy(const bignum *source, bignum *destination) {
    if (source == destination) {
        return;
    }
    destination->size = source->size;
    if (source->capacity > destination->capacity) {
        grow(destination, source->capacity);
    }
    if (source->size > 0) {
        std::memcpy(destination->words, source->words, sizeof(std::uint32_t) * source->size);
    }
}

void bignum_set_zero(bignum *a) {
    if (a->size > 0) {
        std::memset(a->words, 0, sizeof(std::uint32_t) * a->size);
    }
    a->size = 0;
}

void bignum_fromint(bignum *a, std::int32_t value) {
    bignum_set_zero(a);
    a->size = 1;
    if (a->capacity <= 0) {
        grow(a, 1);
    }
    a->words[0] = static_cast<std::uint32_t>(value);
}

// The in-place forms compute into a temporary, so an operand may also be the result.
void bignum_iadd(bignum *a, const bignum *b) {
    bignum *t = bignum_alloc();
    bignum_add(t, a, b);
    bignum_copy(t, a);
    bignum_free(t);
}

void bignum_iadd_2(bignum *a) {
    bignum_iadd(a, &NUMS[2]);
}

void bignum_isubtract(bignum *a, const bignum *b) {
    bignum *t = bignum_alloc();
    bignum_subtract(t, a, b);
    bignum_copy(t, a);
    bignum_free(t);
}

void bignum_imultiply(bignum *a, const bignum *b) {
    bignum *t = bignum_alloc();
    bignum_multiply(t, a, b);
    bignum_copy(t, a);
    bignum_free(t);
}

namespace {

// Division by a one-word divisor d, top word first.
void divide_by_word(bignum *quotient, bignum *remainder, const bignum *dividend, std::uint32_t d) {
    if (quotient->capacity < dividend->size) {
        grow(quotient, dividend->size);
    }
    std::uint32_t rem = 0;
    std::int32_t top = 0;
    for (std::int32_t i = dividend->size - 1; i >= 0; i--) {
        std::uint64_t t = (std::uint64_t{rem} << 32) | dividend->words[i];
        quotient->words[i] = static_cast<std::uint32_t>(t / d);
        if (quotient->words[i] != 0 && top == 0) {
            top = i + 1;
        }
        rem = static_cast<std::uint32_t>(t % d);
    }
    bignum_fromint(remainder, static_cast<std::int32_t>(rem));
    quotient->size = top;
}

// Multi-word division (m = divisor size >= 2, normalised divisor). The scaled divisor v
// and the scaled working dividend w live in arrays on the stack, or for long dividends in
// one vector each, so that a division makes no work records.
void divide_long(bignum *quotient, bignum *remainder, const bignum *dividend,
                 const bignum *divisor) {
    const std::int32_t L = dividend->size;
    const std::int32_t m = divisor->size;
    if (quotient->capacity < L + 1 - m) {
        grow(quotient, L + 1 - m);
    }
    if (divisor->words[m - 1] == 0) {
        fail("divisor is not normalised");
    }
    constexpr std::int32_t stack_words = 160;
    std::uint32_t w_stack[stack_words + 1];
    std::uint32_t v_stack[stack_words];
    std::vector<std::uint32_t> w_heap, v_heap;
    std::uint32_t *wd = w_stack;
    std::uint32_t *vd = v_stack;
    if (L > stack_words) {
        w_heap.resize(L + 1);
        v_heap.resize(m);
        wd = w_heap.data();
        vd = v_heap.data();
    }

    // Scale both by a power of two (a left shift) so that the divisor's top bit is set:
    // the digit estimates below are then at most two too large. w gains a top word.
    const int shift = std::countl_zero(divisor->words[m - 1]);
    shift_left(vd, divisor->words, m, shift);
    wd[L] = shift_left(wd, dividend->words, L, shift);

    const std::uint64_t vt = vd[m - 1];
    const std::uint64_t vs = vd[m - 2];
    for (std::int32_t j = L - m; j >= 0; j--) {
        // Estimate the digit from the top two words of the window w[j .. j+m]...
        std::uint64_t t = (std::uint64_t{wd[j + m]} << 32) | wd[j + m - 1];
        std::uint64_t qhat = t / vt;
        std::uint64_t rhat = t - qhat * vt;
        if (qhat > 0xFFFFFFFFu) {
            qhat = 0xFFFFFFFFu;
            rhat = t - qhat * vt;  // may exceed 32 bits
        }
        // ...and lower it while the divisor's second word shows it is too large; it ends
        // as the true digit or one more.
        while (rhat <= 0xFFFFFFFFu && qhat * vs > ((rhat << 32) | wd[j + m - 2])) {
            qhat--;
            rhat += vt;
        }
        // Window minus qhat * v, in place.
        std::int64_t k = 0;
        for (std::int32_t i = 0; i < m; i++) {
            std::uint64_t p = qhat * vd[i];
            std::int64_t d = static_cast<std::int64_t>(wd[j + i]) - k -
                             static_cast<std::int64_t>(p & 0xFFFFFFFFu);
            wd[j + i] = static_cast<std::uint32_t>(d);
            k = static_cast<std::int64_t>(p >> 32) - (d >> 32);
        }
        std::int64_t d = static_cast<std::int64_t>(wd[j + m]) - k;
        wd[j + m] = static_cast<std::uint32_t>(d);
        if (d < 0) {
            // The estimate was one too large: add the divisor back once.
            qhat--;
            std::uint64_t carry = 0;
            for (std::int32_t i = 0; i < m; i++) {
                std::uint64_t s = std::uint64_t{wd[j + i]} + vd[i] + carry;
                wd[j + i] = static_cast<std::uint32_t>(s);
                carry = s >> 32;
            }
            wd[j + m] += static_cast<std::uint32_t>(carry);
        }
        quotient->words[j] = static_cast<std::uint32_t>(qhat);
    }
    quotient->size = quotient->words[L - m] != 0 ? L - m + 1 : L - m;

    // w now holds remainder * scale in its low m words: shift the scale out again. The
    // remainder gets the capacity the working dividend record would have had.
    for (std::int32_t i = 0; i <= L; i++) {
        std::uint32_t above = i < L && shift > 0 ? wd[i + 1] << (32 - shift) : 0;
        wd[i] = wd[i] >> shift | above;
    }
    std::int32_t w_capacity =
        dividend->capacity > initial_capacity ? dividend->capacity : initial_capacity;
    bignum w{top_size(wd, L + 1), w_capacity > L + 1 ? w_capacity : L + 1, wd};
    bignum_copy(&w, remainder);
}

}  // namespace

void bignum_divide(bignum *quotient, bignum *remainder, const bignum *dividend,
                   const bignum *divisor) {
    if (bignum_isless(dividend, divisor)) {
        quotient->size = 0;
        bignum_copy(dividend, remainder);
    } else if (bignum_iszero(dividend)) {
        // Reached only for 0 / 0, which is answered with 0 remainder 0.
        quotient->size = 0;
        bignum_fromint(remainder, 0);
    } else if (bignum_iszero(divisor)) {
        fail("division of a non-zero value by zero");
    } else if (divisor->size == 1) {
        divide_by_word(quotient, remainder, dividend, divisor->words[0]);
    } else {
        divide_long(quotient, remainder, dividend, divisor);
    }
}

void bignum_idivide(bignum *a, const bignum *b) {
    bignum *q = bignum_alloc();
    bignum *r = bignum_alloc();
    bignum_divide(q, r, a, b);
    bignum_copy(q, a);
    bignum_free(q);
    bignum_free(r);
}

void bignum_idivide_2(bignum *a) {
    bignum_idivide(a, &NUMS[2]);
}

void bignum_mod(const bignum *a, const bignum *b, bignum *remainder) {
    bignum *q = bignum_alloc();
    bignum_divide(q, remainder, a, b);
    bignum_free(q);
}

void bignum_idivider(bignum *a, const bignum *b, bignum *remainder) {
    bignum *q = bignum_alloc();
    bignum_divide(q, remainder, a, b);
    bignum_copy(q, a);
    bignum_free(q);
}

void bignum_imod(bignum *a, const bignum *b) {
    bignum *q = bignum_alloc();
    bignum *r = bignum_alloc();
    bignum_divide(q, r, a, b);
    bignum_copy(r, a);
    bignum_free(q);
    bignum_free(r);
}

void bignum_fromstring(bignum *a, const char *text) {
    std::size_t len = std::strlen(text);
    for (std::size_t i = 0; i < len; i++) {
        if (text[i] < '0' || text[i] > '9') {
            fail("decimal string holds a character other than 0-9");
        }
    }
    bignum_set_zero(a);
    for (std::size_t i = 0; i < len; i++) {
        if (i > 0) {
            bignum_imultiply(a, &NUMS[10]);
        }
        bignum_iadd(a, &NUMS[text[i] - '0']);
    }
}

char *bignum_tostring(const bignum *a) {
    std::size_t capacity = 100;
    std::size_t count = 0;
    char *buffer = static_cast<char *>(std::malloc(capacity));
    if (buffer == nullptr) {
        fail("out of memory");
    }
    if (bignum_iszero(a)) {
        std::strcpy(buffer, "0");
        return buffer;
    }
    bignum *w = bignum_alloc();
    bignum *r = bignum_alloc();
    bignum_copy(a, w);
    // Digits come out least significant first; the NUL always fits after the last one.
    while (!bignum_iszero(w)) {
        bignum_idivider(w, &NUMS[10], r);
        buffer[count++] = static_cast<char>('0' + r->words[0]);
        if (count >= capacity) {
            capacity *= 2;
            char *grown = static_cast<char *>(std::realloc(buffer, capacity));
            if (grown == nullptr) {
                fail("out of memory");
            }
            buffer = grown;
        }
    }
    for (std::size_t j = 0; j < count / 2; j++) {
        char c = buffer[j];
        buffer[j] = buffer[count - 1 - j];
        buffer[count - 1 - j] = c;
    }
    buffer[count] = '\0';
    bignum_free(w);
    bignum_free(r);
    return buffer;
}
