/* A Windows host of kalvex.dll that knows nothing but the DLL's export names:
 * it loads the library with LoadLibrary / GetProcAddress, owns a hidden window
 * with a real message loop, and checks what a host application relies on.
 *   kalvex_dll_host <path of kalvex.dll> <scratch folder>
 * Each check is one function in the table at the end; add new ones there. */
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#define KALVEX_WM_FRAME 0x8002
#define KALVEX_WM_EVENT 0x8003
#define HOST_WM_FLUSHED (WM_APP + 0x100)

typedef int(__cdecl *IntFn)(void);
typedef int(__cdecl *HandleFn)(int);
typedef int(__cdecl *WindowFn)(HWND);
typedef int(__cdecl *SetWindowFn)(int, HWND);
typedef int(__cdecl *WidePathFn)(int, const wchar_t *);
typedef int(__cdecl *NarrowPathFn)(int, const char *);
typedef int(__cdecl *WideSaveFn)(int, const wchar_t *, int);
typedef int(__cdecl *NarrowSaveFn)(int, const char *, int);

static const char *const kExports[] = {"Kalvex_Close",
                                       "Kalvex_GetColor",
                                       "Kalvex_GetDllVersion",
                                       "Kalvex_GetInternalTemperature",
                                       "Kalvex_GetLastError",
                                       "Kalvex_GetNewID",
                                       "Kalvex_GetParam",
                                       "Kalvex_GetRaw",
                                       "Kalvex_GetTemperature",
                                       "Kalvex_Initialize",
                                       "Kalvex_IsCameraEnableA",
                                       "Kalvex_IsCameraEnableW",
                                       "Kalvex_Nuc",
                                       "Kalvex_OneShot",
                                       "Kalvex_Pause",
                                       "Kalvex_Preview",
                                       "Kalvex_RecA",
                                       "Kalvex_RecW",
                                       "Kalvex_Release",
                                       "Kalvex_SaveA",
                                       "Kalvex_SaveW",
                                       "Kalvex_SetCameraNumber",
                                       "Kalvex_SetCameraType",
                                       "Kalvex_SetParam",
                                       "Kalvex_SetTableA",
                                       "Kalvex_SetTableW",
                                       "Kalvex_SetWindowHandle",
                                       "Kalvex_Start",
                                       "Kalvex_Trigger"};

static struct {
    HMODULE dll;
    HWND window;
    const char *scratch;
    IntFn GetDllVersion;
    WindowFn Initialize;
    HandleFn Release, GetLastError, SetCameraType;
    SetWindowFn SetWindowHandle;
    WidePathFn SetTableW;
    NarrowPathFn SetTableA;
    WideSaveFn SaveW;
    NarrowSaveFn SaveA;
} k;

/* What the window procedure saw. */
static long events[64];
static int eventCount, badWParams;

static int failures;
#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == KALVEX_WM_EVENT) {
        if (eventCount < 64) events[eventCount++] = (long)lParam;
        if (wParam != 0) ++badWParams;
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

/* Runs the message loop until everything posted so far has been dispatched:
 * posted messages arrive in order, so a marker posted now comes last. */
static void Flush(void) {
    MSG m;
    PostMessageW(k.window, HOST_WM_FLUSHED, 0, 0);
    while (GetMessageW(&m, NULL, 0, 0) > 0) {
        if (m.hwnd == k.window && m.message == HOST_WM_FLUSHED) break;
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
}

static void ForgetEvents(int handle) {
    Flush();
    while (handle != 0 && k.GetLastError(handle) != 0) {
    }
    eventCount = 0;
    badWParams = 0;
}

static FARPROC Resolve(const char *name) {
    FARPROC p = GetProcAddress(k.dll, name);
    if (p == NULL) {
        fprintf(stderr, "export %s missing\n", name);
        ++failures;
    }
    return p;
}

/* GetProcAddress gives a generic pointer; the detour through void (*)(void)
 * tells the compiler the cast is meant. */
#define BIND(field, name) k.field = (void *)(void (*)(void))Resolve(name)

static void CheckExportsResolve(void) {
    size_t i;
    for (i = 0; i < sizeof kExports / sizeof kExports[0]; ++i) CHECK(Resolve(kExports[i]) != NULL);
    CHECK(k.GetDllVersion() == 2032717);
}

static void CheckEventsReachTheWindow(void) {
    int h = k.Initialize(k.window);
    CHECK(h != 0);
    ForgetEvents(h);
    CHECK(k.SetCameraType(h) == 0);
    CHECK(k.SetCameraType(h) == 0);
    Flush();
    CHECK(eventCount == 2 && events[0] == 10 && events[1] == 10);
    CHECK(badWParams == 0);
    CHECK(k.GetLastError(h) == 10);
    CHECK(k.GetLastError(h) == 10);
    CHECK(k.GetLastError(h) == 0);

    /* A null window turns posting off; codes are still recorded. */
    ForgetEvents(h);
    CHECK(k.SetWindowHandle(h, NULL) == 1);
    k.SetCameraType(h);
    Flush();
    CHECK(eventCount == 0);
    CHECK(k.GetLastError(h) == 10);
    CHECK(k.Release(h) == 1);
}

static void CheckHandles(void) {
    int a = k.Initialize(NULL), b = k.Initialize(k.window);
    CHECK(a != 0 && b != 0 && a != b);
    ForgetEvents(b);
    CHECK(k.Release(a) == 1);
    CHECK(k.Release(a) == 0);
    /* A released handle is unknown: the not-found result, nothing recorded or posted. */
    CHECK(k.SetCameraType(a) == 0);
    CHECK(k.GetLastError(a) == 0);
    CHECK(k.SetWindowHandle(a, k.window) == 0);
    Flush();
    CHECK(eventCount == 0);
    CHECK(k.GetLastError(b) == 0);
    CHECK(k.Release(b) == 1);
    CHECK(k.Release(0) == 0);
}

/* Paths with characters beyond ASCII through the W and the A exports. The A
 * form is the ANSI code page's spelling of the same name, when it has one. */
static void CheckNonAsciiPaths(void) {
    wchar_t folder[MAX_PATH], missing[MAX_PATH];
    char narrowMissing[MAX_PATH * 2];
    BOOL lossy = FALSE;
    int h, code;
    swprintf(folder, MAX_PATH, L"%hs\\d\u00E9j\u00E0-\u00FC", k.scratch);
    CreateDirectoryW(folder, NULL);
    CHECK(GetFileAttributesW(folder) != INVALID_FILE_ATTRIBUTES);
    swprintf(missing, MAX_PATH, L"%ls\\table-\u00E9.dat", folder);
    h = k.Initialize(NULL);
    ForgetEvents(h);

    /* A table that does not exist loads from neither spelling: 0, and a file
     * error if anything is recorded. */
    CHECK(k.SetTableW(h, missing) == 0);
    while ((code = k.GetLastError(h)) != 0) CHECK(code == 9);
    if (WideCharToMultiByte(CP_ACP, 0, missing, -1, narrowMissing, sizeof narrowMissing, NULL,
                            &lossy) > 0 &&
        !lossy) {
        CHECK(k.SetTableA(h, narrowMissing) == 0);
        while ((code = k.GetLastError(h)) != 0) CHECK(code == 9);
    }
    /* Nothing to save without a camera, and no file appears for it. */
    swprintf(missing, MAX_PATH, L"%ls\\frame-\u00E9.bmp", folder);
    CHECK(k.SaveW(h, missing, 0) == 0);
    CHECK(GetFileAttributesW(missing) == INVALID_FILE_ATTRIBUTES);
    CHECK(k.SaveA(h, NULL, 0) == 0);
    CHECK(k.Release(h) == 1);
}

/* Writes bytes to a file named by a wide path; 1 when all were written. */
static int WriteWholeFile(const wchar_t *path, const unsigned char *bytes, DWORD length) {
    DWORD written = 0;
    HANDLE h =
        CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    BOOL ok;
    if (h == INVALID_HANDLE_VALUE) return 0;
    ok = WriteFile(h, bytes, length, &written, NULL);
    CloseHandle(h);
    return ok && written == length;
}

static void PutLe32(unsigned char *p, unsigned long v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

static void PutFloat(unsigned char *p, float f) {
    unsigned long bits = 0;
    unsigned int u;
    memcpy(&u, &f, sizeof u);
    bits = u;
    PutLe32(p, bits);
}

/* Three calibration points, 20 to 60 degrees over raw 1000 to 3000. */
static size_t PutPoints(unsigned char *p, long count) {
    long i;
    PutLe32(p, (unsigned long)count);
    for (i = 0; i < 3; ++i) {
        PutLe32(p + 4 + 8 * i, (unsigned long)(1000 * (i + 1)));
        PutFloat(p + 8 + 8 * i, 20.0f * (float)(i + 1));
    }
    return 4 + 3 * 8;
}

/* A version-4 table: magic, reserved A and B, calibration temperature, drift
 * slope and intercept, then count and points at 44. */
static DWORD Version4Table(unsigned char *out, long count) {
    memcpy(out, "VELKAR THERMO TABLE 4000", 24);
    PutLe32(out + 24, 0);
    PutLe32(out + 28, 0);
    PutFloat(out + 32, 25.0f);
    PutFloat(out + 36, 0.0f);
    PutFloat(out + 40, 0.0f);
    return (DWORD)(44 + PutPoints(out + 44, count));
}

/* A headerless table: count at 0, points from 4. */
static DWORD HeaderlessTable(unsigned char *out, long count) {
    return (DWORD)PutPoints(out, count);
}

/* Pops every recorded code; 1 when one of them was the file error. */
static int HadFileError(int handle) {
    int code, seen = 0;
    while ((code = k.GetLastError(handle)) != 0) seen |= code == 9;
    return seen;
}

/* Tables in a folder and under names beyond ASCII load through both the W and
 * the A export; a refused count fails through both with the file error. The A
 * path is the ANSI code page's spelling (code page 1252 gives every character
 * used here one byte). */
static void CheckTablesLoadFromNonAsciiPaths(void) {
    static DWORD (*const writers[])(unsigned char *, long) = {Version4Table, HeaderlessTable};
    static const wchar_t *const names[] = {L"v4-\u00E9t\u00E9.dat", L"headerless-\u00E7a.dat"};
    unsigned char bytes[128];
    wchar_t folder[MAX_PATH], path[MAX_PATH];
    char narrow[MAX_PATH * 2];
    BOOL lossy = FALSE;
    int h, i;
    swprintf(folder, MAX_PATH, L"%hs\\t\u00E4belle-\u00E9", k.scratch);
    CreateDirectoryW(folder, NULL);
    h = k.Initialize(NULL);
    ForgetEvents(h);
    for (i = 0; i < 2; ++i) {
        swprintf(path, MAX_PATH, L"%ls\\%ls", folder, names[i]);
        CHECK(WriteWholeFile(path, bytes, writers[i](bytes, 3)));
        CHECK(k.SetTableW(h, path) == 1);
        CHECK(!HadFileError(h));
        CHECK(WideCharToMultiByte(CP_ACP, 0, path, -1, narrow, sizeof narrow, NULL, &lossy) > 0);
        CHECK(!lossy);
        if (lossy) {
            fprintf(stderr, "code page %u cannot spell the table path\n", GetACP());
            continue;
        }
        CHECK(strchr(narrow, '?') == NULL);
        CHECK(k.SetTableA(h, narrow) == 1);
        CHECK(!HadFileError(h));

        /* One point over the limit of 16384. */
        CHECK(WriteWholeFile(path, bytes, writers[i](bytes, 16385)));
        CHECK(k.SetTableW(h, path) == 0);
        CHECK(HadFileError(h));
        CHECK(k.SetTableA(h, narrow) == 0);
        CHECK(HadFileError(h));
    }
    CHECK(k.Release(h) == 1);
}

int main(int argc, char **argv) {
    static void (*const checks[])(void) = {CheckExportsResolve, CheckEventsReachTheWindow,
                                           CheckHandles, CheckNonAsciiPaths,
                                           CheckTablesLoadFromNonAsciiPaths};
    WNDCLASSW wc;
    size_t i;
    if (argc != 3) {
        fprintf(stderr, "usage: kalvex_dll_host <kalvex.dll> <scratch folder>\n");
        return 2;
    }
    k.scratch = argv[2];
    k.dll = LoadLibraryA(argv[1]);
    if (k.dll == NULL) {
        fprintf(stderr, "cannot load %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    BIND(GetDllVersion, "Kalvex_GetDllVersion");
    BIND(Initialize, "Kalvex_Initialize");
    BIND(Release, "Kalvex_Release");
    BIND(GetLastError, "Kalvex_GetLastError");
    BIND(SetCameraType, "Kalvex_SetCameraType");
    BIND(SetWindowHandle, "Kalvex_SetWindowHandle");
    BIND(SetTableW, "Kalvex_SetTableW");
    BIND(SetTableA, "Kalvex_SetTableA");
    BIND(SaveW, "Kalvex_SaveW");
    BIND(SaveA, "Kalvex_SaveA");
    if (failures != 0) return 1;

    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleW(NULL);
    wc.lpszClassName = L"KalvexDllHost";
    if (!RegisterClassW(&wc)) return 1;
    k.window = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                               wc.hInstance, NULL);
    if (k.window == NULL) return 1;

    for (i = 0; i < sizeof checks / sizeof checks[0]; ++i) checks[i]();
    DestroyWindow(k.window);
    FreeLibrary(k.dll);
    printf("%d passed, %d failed\n", failures == 0 ? 1 : 0, failures == 0 ? 0 : 1);
    return failures == 0 ? 0 : 1;
}
