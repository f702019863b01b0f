/* A host linked against libvantrel.so, as a program that names it at build
 * time is: the library is loaded before main, and its finalisers run after
 * the host's own exit handlers. A scan callback calls exit() while one host
 * thread is inside enqueue_stop, waiting for that very worker, and another
 * waits inside enqueue_stop for the first: the exit must free nothing those
 * threads still wait on. */
#include <pthread.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "vantrel.h"

static atomic_int g_stage; /* 1: the callback runs; +1 per thread entering enqueue_stop */

static void pause_ms(long milliseconds) {
    struct timespec pause = {0, milliseconds * 1000 * 1000};
    nanosleep(&pause, NULL);
}

static void wait_for_stage(int stage) {
    while (atomic_load(&g_stage) < stage) pause_ms(1);
}

static void exit_once_both_stop(uint64_t context) {
    (void)context;
    atomic_store(&g_stage, 1);
    wait_for_stage(3);
    pause_ms(50);
    exit(0);
}

static void *stop(void *unused) {
    atomic_fetch_add(&g_stage, 1);
    enqueue_stop();
    return unused;
}

int main(void) {
    static const char path[] = "/nowhere/to/be/found/a.lua";
    enqueue_scan_file(exit_once_both_stop, 0, path, sizeof path - 1, VANTREL_LUA);
    pthread_t first, second;
    wait_for_stage(1);
    pthread_create(&first, NULL, stop, NULL);
    wait_for_stage(2);
    pause_ms(20);
    pthread_create(&second, NULL, stop, NULL);
    for (;;) pause();
}
