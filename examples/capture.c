/*
 * A minimal Kalvex host in C: initialise, load a calibration table, capture a
 * few frames through the message loop, read the centre pixel's temperature,
 * save a PNG, release.
 *
 *   kalvex_example_c [FRAMES [PNG]]
 *
 * It runs on the simulated camera (libkalvex_sim); for a real camera, leave out
 * the two KalvexSim_ calls and load your camera's own table.
 */
#include <stdio.h>
#include <stdlib.h>

#include "kalvex.h"
#include "kalvex_sim.h"

#define WIDTH 640
#define HEIGHT 480

int main(int argc, char **argv) {
    int frames = argc > 1 ? atoi(argv[1]) : 10;
    const char *png = argc > 2 ? argv[2] : "example.png";
    const char *table = "example-table.bin";
    static float celsius[WIDTH * HEIGHT];
    KalvexHwnd window;
    KalvexMessage msg;
    int handle, received = 0, lastId = 0, waits = 0, status = 1;

    /* Simulated camera only: plug camera 0 (a 37 degree disc in a 22 degree
     * scene) and write a table that matches its sensor. */
    KalvexSim_Plug(0);
    KalvexSim_AddSpot(0, WIDTH / 2, HEIGHT / 2, 40, 37.0);
    if (KalvexSim_WriteTable(table, 4, 64, -20.0, 150.0) != 1) {
        fprintf(stderr, "cannot write %s\n", table);
        return 1;
    }

    /* The library posts KALVEX_WM_FRAME and KALVEX_WM_EVENT to this window. */
    window = KalvexPosix_CreateWindow();
    handle = Kalvex_Initialize(window);
    if (handle == 0) {
        fprintf(stderr, "no instance\n");
        return 1;
    }
    if (Kalvex_SetTableA(handle, table) != 1) {
        fprintf(stderr, "cannot load %s: event %d\n", table, Kalvex_GetLastError(handle));
        goto release;
    }
    /* Frames come out bottom row first unless parameter 17 is set: with it,
     * row 0 is the top of the picture. */
    Kalvex_SetParam(handle, KALVEX_PARAM_ROW_ORDER, 1);
    if (Kalvex_Preview(handle) != 1) {
        fprintf(stderr, "cannot start capture: event %d\n", Kalvex_GetLastError(handle));
        goto release;
    }

    /* Loading the table performed a NUC: the first frames come after the NUC
     * hold (1.2 s by default). Give up after 10 s without a frame. */
    while (received < frames && waits < 100) {
        int got = KalvexPosix_GetMessage(window, &msg, 100);
        if (got != 1) {
            ++waits;
            continue;
        }
        waits = 0;
        if (msg.message == KALVEX_WM_FRAME) {
            lastId = (int)msg.lParam;
            ++received;
        } else if (msg.message == KALVEX_WM_EVENT && msg.lParam == KALVEX_EV_CAPTURE_ENDED) {
            fprintf(stderr, "the camera ended capture\n");
            break;
        }
    }
    Kalvex_Close(handle);
    if (received < frames) {
        fprintf(stderr, "only %d of %d frames arrived\n", received, frames);
        goto release;
    }

    /* -999.0 marks pixels that the table does not cover. */
    if (Kalvex_GetTemperature(handle, lastId, celsius, (int)sizeof celsius) != 1) {
        fprintf(stderr, "frame %d is gone: event %d\n", lastId, Kalvex_GetLastError(handle));
        goto release;
    }
    printf("%d frames, centre %.2f C\n", received,
           (double)celsius[(HEIGHT / 2) * WIDTH + WIDTH / 2]);

    /* A colour PNG shows the scene upright with parameter 18 at 0. */
    if (Kalvex_SaveA(handle, png, KALVEX_SAVE_COLOR_PNG) != 1) {
        fprintf(stderr, "cannot save %s: event %d\n", png, Kalvex_GetLastError(handle));
        goto release;
    }
    printf("saved %s\n", png);
    status = 0;

release:
    Kalvex_Release(handle);
    KalvexPosix_DestroyWindow(window);
    return status;
}
