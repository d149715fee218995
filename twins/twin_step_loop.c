/*
 * Calls DT_step of a digital-twin library in a bare C loop and prints the
 * rate: vkl_twin_step_loop <library> [steps] [control code, default 7]
 * Output: one line "steps=<n> seconds=<t> ticks_per_s=<r>".
 * The model record gets zero-filled work areas, as the engine gives it.
 */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef struct {
    void *blockIO, *dwork, *prevZCSigState;
    char *errorStatus;
} model_t;

typedef void (*model_fn)(model_t *);
typedef char *(*ptr_fn)(void);

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s <library> [steps] [control code]\n", argv[0]);
        return 2;
    }
    long long n = argc > 2 ? atoll(argv[2]) : 2000000;
    void *h = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    model_fn init = (model_fn) dlsym(h, "DT_initialize");
    model_fn step = (model_fn) dlsym(h, "DT_step");
    ptr_fn inports = (ptr_fn) dlsym(h, "get_inports_ptr");
    if (!init || !step || !inports) {
        fprintf(stderr, "missing DT_initialize, DT_step or get_inports_ptr\n");
        return 1;
    }
    static char block[4096], dwork[4096], zc[4096], err[256];
    model_t m = {block, dwork, zc, err};
    init(&m);
    /* Enable on, the given control code (the reference twin's inputs: two
     * bools, then the int32 control code). */
    char *in = inports();
    in[0] = 1;
    int code = argc > 3 ? atoi(argv[3]) : 7;
    memcpy(in + 4, &code, sizeof code);
    double t0 = now();
    for (long long i = 0; i < n; ++i)
        step(&m);
    double t = now() - t0;
    printf("steps=%lld seconds=%.6f ticks_per_s=%.1f\n", n, t, n / t);
    return 0;
}
