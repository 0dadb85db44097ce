/* The C side of copy_bench.py: copies one frame out (raw, then temperatures,
 * into buffers allocated once) N times and prints the mean time per copy in
 * microseconds of process CPU time (wall time swings with the load of a shared
 * machine). Usage: copy_frame TABLE N */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "kalvex.h"
#include "kalvex_sim.h"

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    int n = atoi(argv[2]);
    KalvexSim_Plug(0);
    KalvexSim_SetFrameRate(0, 0.0);
    int h = Kalvex_Initialize(NULL);
    Kalvex_SetParam(h, KALVEX_PARAM_ROW_ORDER, 1);
    if (Kalvex_SetTableA(h, argv[1]) != 1) return 1;
    int id = Kalvex_OneShot(h);
    if (id == 0) return 1;
    unsigned short *raw = malloc(640 * 480 * 2);
    float *temperatures = malloc(640 * 480 * 4);
    for (int i = 0; i < 20; ++i) { /* warm the caches and the table */
        Kalvex_GetRaw(h, id, raw, 640 * 480 * 2);
        Kalvex_GetTemperature(h, id, temperatures, 640 * 480 * 4);
    }
    double start = Now();
    for (int i = 0; i < n; ++i) {
        if (Kalvex_GetRaw(h, id, raw, 640 * 480 * 2) != 1) return 1;
        if (Kalvex_GetTemperature(h, id, temperatures, 640 * 480 * 4) != 1) return 1;
    }
    printf("%.3f\n", (Now() - start) / n * 1e6);
    free(raw);
    free(temperatures);
    Kalvex_Release(h);
    KalvexSim_Unplug(0);
    return 0;
}
