/*
 * Calls DT_step of a digital-twin library in a bare C loop and prints the
 * rate: vkl_twin_step_loop <library> [steps] [control code, default 7]
 *                          [<Enable offset>:<type> <ControlType offset>:<type>]
 * The last two place the inputs for a twin whose fields are not the
 * reference's (bool at 0, int32 at 4); <type> is a struct-module code:
 * ? b B h H i I l L q Q f d.
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

/* Store `v` at `at` as the C type named by a struct-module code. */
static int put_as(char *at, char code, double v) {
    switch (code) {
    case '?': { _Bool x = v != 0; memcpy(at, &x, sizeof x); return 0; }
    case 'b': { signed char x = (signed char) v; memcpy(at, &x, sizeof x); return 0; }
    case 'B': { unsigned char x = (unsigned char) v; memcpy(at, &x, sizeof x); return 0; }
    case 'h': { short x = (short) v; memcpy(at, &x, sizeof x); return 0; }
    case 'H': { unsigned short x = (unsigned short) v; memcpy(at, &x, sizeof x); return 0; }
    case 'i': { int x = (int) v; memcpy(at, &x, sizeof x); return 0; }
    case 'I': { unsigned x = (unsigned) v; memcpy(at, &x, sizeof x); return 0; }
    case 'l': { long x = (long) v; memcpy(at, &x, sizeof x); return 0; }
    case 'L': { unsigned long x = (unsigned long) v; memcpy(at, &x, sizeof x); return 0; }
    case 'q': { long long x = (long long) v; memcpy(at, &x, sizeof x); return 0; }
    case 'Q': { unsigned long long x = (unsigned long long) v; memcpy(at, &x, sizeof x); return 0; }
    case 'f': { float x = (float) v; memcpy(at, &x, sizeof x); return 0; }
    case 'd': memcpy(at, &v, sizeof v); return 0;
    }
    return -1;
}

/* "<offset>:<code>" -> store v there. */
static int put_field(char *base, const char *spec, double v) {
    char *end;
    long off = strtol(spec, &end, 10);
    if (off < 0 || *end != ':' || !end[1])
        return -1;
    return put_as(base + off, end[1], v);
}

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts); /* CPU time: steady on a busy machine */
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
    int code = argc > 3 ? atoi(argv[3]) : 7;
    const char *enable_at = argc > 5 ? argv[4] : "0:?";
    const char *control_at = argc > 5 ? argv[5] : "4:i";
    if (put_field(in, enable_at, 1.0) != 0 || put_field(in, control_at, code) != 0) {
        fprintf(stderr, "bad field placement: %s %s\n", enable_at, control_at);
        return 2;
    }
    double t0 = now();
    for (long long i = 0; i < n; ++i)
        step(&m);
    double t = now() - t0;
    printf("steps=%lld seconds=%.6f ticks_per_s=%.1f\n", n, t, n / t);
    return 0;
}
