/* Writes the number of generator bytes given as the argument to standard
 * output, for statistical test batteries that read a byte stream. */
#include <stdio.h>
#include <stdlib.h>

#include "quorvandelith.h"

int main(int argc, char **argv) {
    static uint8_t buf[1 << 20];
    unsigned long long left = argc > 1 ? strtoull(argv[1], NULL, 10) : 0;
    struct drng_chacha20 *drng = NULL;
    int rc = drng_chacha20_init(&drng);
    while (rc == 0 && left > 0) {
        const uint32_t n = left < sizeof buf ? (uint32_t)left : (uint32_t)sizeof buf;
        rc = drng_chacha20_get(drng, buf, n);
        if (rc == 0 && fwrite(buf, 1, n, stdout) != n) {
            rc = -1;
        }
        left -= n;
    }
    drng_chacha20_destroy(drng);
    if (rc != 0) {
        fprintf(stderr, "drng_stream: error %d\n", rc);
    }
    return rc != 0;
}
