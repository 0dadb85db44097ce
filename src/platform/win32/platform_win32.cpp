// Win32 backend of the OS seam.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: mmsystem.h needs its types.
#include <mmsystem.h>
#include <stdio.h>

#include <cerrno>
#include <climits>
#include <cwchar>
#include <mutex>
#include <string>

#include "platform/backend.h"
#include "platform/platform.h"

namespace kalvex::platform {

// ---- Device link: the camera's kernel driver.
namespace backend {
void *NativeDeviceOpen(const char *path) {
    HANDLE h =
        ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool NativeDeviceIoControl(void *device, uint32_t code, uint32_t pipe, void *buffer,
                           uint32_t length, uint32_t *returned) {
    DWORD got = 0;
    DWORD input = pipe;
    BOOL ok = ::DeviceIoControl(static_cast<HANDLE>(device), code, &input, sizeof input, buffer,
                                length, &got, nullptr);
    if (returned != nullptr) *returned = got;
    return ok != FALSE;
}

void NativeDeviceClose(void *device) {
    if (device != nullptr) ::CloseHandle(static_cast<HANDLE>(device));
}
// Cancels the requests that any thread has pending on the handle; with
// nothing pending there is nothing to cancel, which counts as done.
bool NativeDeviceCancel(void *device) {
    if (device == nullptr) return false;
    if (::CancelIoEx(static_cast<HANDLE>(device), nullptr) != FALSE) return true;
    return ::GetLastError() == ERROR_NOT_FOUND;
}

void *AcquireModuleReference() {
    HMODULE module = nullptr;
    if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                             reinterpret_cast<LPCWSTR>(&AcquireModuleReference), &module) == FALSE)
        return nullptr;
    return module;
}

void ReleaseModuleReference(void *module, bool exitThread) {
    if (module == nullptr) return;
    if (exitThread) ::FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
    ::FreeLibrary(static_cast<HMODULE>(module));
}
}  // namespace backend

// ---- Window notification.
bool PostWindowMessage(KalvexHwnd window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (window == nullptr) return false;
    return ::PostMessageW(window, message, static_cast<WPARAM>(wParam),
                          static_cast<LPARAM>(lParam)) != FALSE;
}

// ---- Debug output: only a debugger sees it; tests add a listener.
namespace backend {
void NativeDebugOutput(const wchar_t *line) {
    ::OutputDebugStringW(line);
}
}  // namespace backend

// ---- Text: the ANSI code page.
int NarrowToWide(const char *text, wchar_t *out, int capacity) {
    if (text == nullptr || out == nullptr || capacity <= 0) return 0;
    return ::MultiByteToWideChar(CP_ACP, 0, text, -1, out, capacity);
}

int WideToNarrow(const wchar_t *text, char *out, int capacity) {
    if (text == nullptr || out == nullptr || capacity <= 0) return 0;
    return ::WideCharToMultiByte(CP_ACP, 0, text, -1, out, capacity, nullptr, nullptr);
}

std::string NarrowPath(const wchar_t *path) {
    if (path == nullptr) return {};
    BOOL lossy = FALSE;
    int n = ::WideCharToMultiByte(CP_ACP, 0, path, -1, nullptr, 0, nullptr, &lossy);
    if (n <= 1 || lossy) return {};  // a '?' stand-in would name another file
    std::string out(static_cast<size_t>(n), '\0');
    if (::WideCharToMultiByte(CP_ACP, 0, path, -1, out.data(), n, nullptr, nullptr) != n) return {};
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

// ---- Files.
struct File {
    HANDLE handle;
};

namespace {
File *OpenHandle(const wchar_t *path, DWORD access, DWORD share, DWORD disposition) {
    if (path == nullptr || *path == 0) return nullptr;
    HANDLE h =
        ::CreateFileW(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return new File{h};
}
}  // namespace

File *FileOpenRead(const wchar_t *path) {
    // A folder does not open: CreateFileW refuses it without backup semantics.
    File *f = OpenHandle(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    if (f == nullptr) {
        // Callers name the reason through errno, as the C runtime's open does.
        switch (::GetLastError()) {
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
                errno = ENOENT;
                break;
            case ERROR_ACCESS_DENIED:
            case ERROR_SHARING_VIOLATION:
                errno = EACCES;
                break;
            default:
                errno = EIO;
                break;
        }
    }
    return f;
}

File *FileOpenWrite(const wchar_t *path) {
    File *f = OpenHandle(path, GENERIC_WRITE, FILE_SHARE_READ, TRUNCATE_EXISTING);
    if (f == nullptr && ::GetLastError() == ERROR_FILE_NOT_FOUND)
        f = OpenHandle(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW);
    return f;
}

bool FileRead(File *file, void *buffer, uint32_t length, uint32_t *got) {
    if (got != nullptr) *got = 0;
    if (file == nullptr || (buffer == nullptr && length != 0)) return false;
    uint32_t done = 0;
    auto *bytes = static_cast<char *>(buffer);
    while (done < length) {
        DWORD n = 0;
        if (!::ReadFile(file->handle, bytes + done, length - done, &n, nullptr)) return false;
        if (n == 0) break;
        done += n;
    }
    if (got != nullptr) *got = done;
    return true;
}

bool FileWrite(File *file, const void *buffer, uint32_t length, uint32_t *written) {
    if (written != nullptr) *written = 0;
    if (file == nullptr || (buffer == nullptr && length != 0)) return false;
    uint32_t done = 0;
    const auto *bytes = static_cast<const char *>(buffer);
    LARGE_INTEGER zero{}, at{};
    const int64_t position =
        ::SetFilePointerEx(file->handle, zero, &at, FILE_CURRENT) ? at.QuadPart : -1;
    const uint32_t allowed = backend::WriteAllowance(position, length);
    while (done < allowed) {
        DWORD n = 0;
        if (!::WriteFile(file->handle, bytes + done, allowed - done, &n, nullptr) || n == 0) break;
        done += n;
    }
    if (written != nullptr) *written = done;
    return done == length;
}

bool FileTruncate(File *file) {
    return file != nullptr && ::SetEndOfFile(file->handle) != 0;
}

bool FileSeek(File *file, int64_t offset) {
    if (file == nullptr || offset < 0) return false;
    LARGE_INTEGER to;
    to.QuadPart = offset;
    return ::SetFilePointerEx(file->handle, to, nullptr, FILE_BEGIN) != FALSE;
}

bool FileSeekEnd(File *file) {
    if (file == nullptr) return false;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return ::SetFilePointerEx(file->handle, zero, nullptr, FILE_END) != FALSE;
}

int64_t FileSize(File *file) {
    LARGE_INTEGER size;
    if (file == nullptr || !::GetFileSizeEx(file->handle, &size)) return -1;
    return static_cast<int64_t>(size.QuadPart);
}

void FileClose(File *file) {
    if (file == nullptr) return;
    ::CloseHandle(file->handle);
    delete file;
}

FILE *OpenCStream(const wchar_t *path, const char *mode) {
    if (path == nullptr || *path == 0 || mode == nullptr) return nullptr;
    wchar_t wideMode[16];
    if (NarrowToWide(mode, wideMode, 16) == 0) return nullptr;
    return ::_wfopen(path, wideMode);
}

// ---- Clocks.
namespace backend {
uint32_t RawTimeGetTime() {
    return ::timeGetTime();
}
uint32_t RawTickCount() {
    return ::GetTickCount();
}

LocalTime RawLocalTime() {
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    return LocalTime{t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}
}  // namespace backend

int64_t MonotonicNanoseconds() {
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        return ::QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : int64_t{0};
    }();
    if (frequency == 0) return static_cast<int64_t>(::GetTickCount64()) * 1000000;
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    // Whole seconds and the rest apart: counts times 10^9 would overflow in days.
    const int64_t seconds = now.QuadPart / frequency;
    const int64_t rest = now.QuadPart % frequency;
    return seconds * 1000000000 + rest * 1000000000 / frequency;
}

int64_t UtcNanoseconds() {
    using PreciseTime = void(WINAPI *)(LPFILETIME);
    // Windows 8 and later; Windows 7 has the coarser clock only.
    static const PreciseTime precise = [] {
        HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
        return kernel != nullptr ? reinterpret_cast<PreciseTime>(reinterpret_cast<void *>(
                                       ::GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime")))
                                 : nullptr;
    }();
    FILETIME t;
    if (precise != nullptr)
        precise(&t);
    else
        ::GetSystemTimeAsFileTime(&t);
    const int64_t ticks = (static_cast<int64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    constexpr int64_t kUnixEpochTicks = 116444736000000000;  // 1601 to 1970 in 100 ns
    return (ticks - kUnixEpochTicks) * 100;
}

// ---- Threads.
void RaiseThreadPriority() {
    (void)::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
}

}  // namespace kalvex::platform
