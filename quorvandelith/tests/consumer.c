#include <stdio.h>
#include <quorvandelith.h>

int main(void) {
    struct drng_chacha20 *drng = NULL;
    uint8_t buf[32];
    int rc = drng_chacha20_init(&drng);
    if (rc == 0)
        rc = drng_chacha20_get(drng, buf, sizeof buf);
    for (size_t i = 0; rc == 0 && i < sizeof buf; i++)
        printf("%02x", buf[i]);
    printf(rc == 0 ? "\n" : "error %d\n", rc);
    drng_chacha20_destroy(drng);
    return rc != 0;
}
