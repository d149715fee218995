/* The kernel's share of one serial command: a loop of what the transport's
 * native writer does per frame (one write(2) of the frame, then the wait for
 * the port to take more, with the cancel pipe), and nothing else.
 *
 *     pty_write_floor <tty path> <frame length> <frames>
 *
 * prints "<wall us per frame> <thread CPU us per frame>".  Run against the
 * same drained pty as the library, it is the floor under the library's
 * figure on this machine. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static double seconds(clockid_t c) {
    struct timespec t;
    clock_gettime(c, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

int main(int argc, char **argv) {
    if (argc != 4)
        return 2;
    int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
    size_t len = (size_t) atoi(argv[2]);
    long n = atol(argv[3]);
    int cancel[2];
    if (fd < 0 || len == 0 || len > 256 || n <= 0 || pipe(cancel) != 0)
        return 1;
    unsigned char frame[256];
    memset(frame, 0x55, sizeof frame);
    for (int round = 0; round < 2; ++round) { /* the first round warms up */
        double t0 = seconds(CLOCK_MONOTONIC), c0 = seconds(CLOCK_THREAD_CPUTIME_ID);
        for (long i = 0; i < n; ++i) {
            if (write(fd, frame, len) != (ssize_t) len)
                return 1;
            struct pollfd p[2] = {{cancel[0], POLLIN, 0}, {fd, POLLOUT, 0}};
            if (ppoll(p, 2, NULL, NULL) < 0)
                return 1;
        }
        if (round == 1)
            printf("%.4f %.4f\n", (seconds(CLOCK_MONOTONIC) - t0) / n * 1e6,
                   (seconds(CLOCK_THREAD_CPUTIME_ID) - c0) / n * 1e6);
    }
    return 0;
}
