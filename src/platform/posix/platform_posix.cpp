// POSIX backend of the OS seam.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/backend.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace kalvex::platform {

// ---- Device link: no kernel driver here, only registered user-space ones.
namespace backend {
void *NativeDeviceOpen(const char *) {
    return nullptr;
}
bool NativeDeviceIoControl(void *, uint32_t, uint32_t, void *, uint32_t, uint32_t *) {
    return false;
}
void NativeDeviceClose(void *) {}
bool NativeDeviceCancel(void *) {
    return false;
}

// The shared object stays mapped while a thread runs in it only if nobody
// unloads it; hosts here do not, so nothing is held.
void *AcquireModuleReference() {
    return nullptr;
}
void ReleaseModuleReference(void *, bool) {}
}  // namespace backend

// ---- Debug output: like a debug channel that nobody may be watching.
namespace backend {
void NativeDebugOutput(const wchar_t *) {}
}  // namespace backend

// ---- Text: UTF-8 <-> UTF-32.
int NarrowToWide(const char *text, wchar_t *out, int capacity) {
    if (text == nullptr || out == nullptr || capacity <= 0) return 0;
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    int n = 0;
    for (;;) {
        uint32_t c = *p;
        if (c == 0) break;
        int extra = 0;
        uint32_t min = 0;
        if (c < 0x80) {
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, c &= 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, c &= 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, c &= 0x07, min = 0x10000;
        } else {
            extra = -1;
        }
        ++p;
        if (extra < 0) {
            c = 0xFFFD;
        } else {
            int i = 0;
            for (; i < extra && (*p & 0xC0) == 0x80; ++i, ++p) c = (c << 6) | (*p & 0x3F);
            if (i < extra || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        }
        if (n + 1 >= capacity) return 0;
        out[n++] = static_cast<wchar_t>(c);
    }
    out[n++] = 0;
    return n;
}

int WideToNarrow(const wchar_t *text, char *out, int capacity) {
    if (text == nullptr || out == nullptr || capacity <= 0) return 0;
    int n = 0;
    for (const wchar_t *p = text; *p != 0; ++p) {
        uint32_t c = static_cast<uint32_t>(*p);
        char bytes[4];
        int len = 0;
        if (c < 0x80) {
            bytes[len++] = static_cast<char>(c);
        } else if (c < 0x800) {
            bytes[len++] = static_cast<char>(0xC0 | (c >> 6));
            bytes[len++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000 && !(c >= 0xD800 && c <= 0xDFFF)) {
            bytes[len++] = static_cast<char>(0xE0 | (c >> 12));
            bytes[len++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes[len++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c >= 0x10000 && c <= 0x10FFFF) {
            bytes[len++] = static_cast<char>(0xF0 | (c >> 18));
            bytes[len++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            bytes[len++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes[len++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            bytes[len++] = '?';  // the default character for what cannot be represented
        }
        if (n + len + 1 > capacity) return 0;
        std::memcpy(out + n, bytes, static_cast<size_t>(len));
        n += len;
    }
    out[n++] = 0;
    return n;
}

std::string NarrowPath(const wchar_t *path) {
    if (path == nullptr) return {};
    size_t units = wcslen(path);
    if (units > (1u << 20)) return {};
    std::string out(units * 4 + 1, '\0');
    int n = WideToNarrow(path, out.data(), static_cast<int>(out.size()));
    if (n <= 0) return {};
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

// ---- Files.
struct File {
    int fd;
};

namespace {
File *OpenWithFlags(const wchar_t *path, int flags) {
    std::string narrow = NarrowPath(path);
    if (narrow.empty()) return nullptr;
    int fd;
    do {
        fd = ::open(narrow.c_str(), flags | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return new File{fd};
}
}  // namespace

File *FileOpenRead(const wchar_t *path) {
    return OpenWithFlags(path, O_RDONLY);
}

File *FileOpenWrite(const wchar_t *path) {
    return OpenWithFlags(path, O_WRONLY | O_CREAT | O_TRUNC);
}

bool FileRead(File *file, void *buffer, uint32_t length, uint32_t *got) {
    if (got != nullptr) *got = 0;
    if (file == nullptr || (buffer == nullptr && length != 0)) return false;
    uint32_t done = 0;
    auto *bytes = static_cast<char *>(buffer);
    while (done < length) {
        ssize_t n = ::read(file->fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    if (got != nullptr) *got = done;
    return true;
}

bool FileWrite(File *file, const void *buffer, uint32_t length, uint32_t *written) {
    if (written != nullptr) *written = 0;
    if (file == nullptr || (buffer == nullptr && length != 0)) return false;
    uint32_t done = 0;
    const auto *bytes = static_cast<const char *>(buffer);
    const uint32_t allowed =
        backend::WriteAllowance(static_cast<int64_t>(::lseek(file->fd, 0, SEEK_CUR)), length);
    while (done < allowed) {
        ssize_t n = ::write(file->fd, bytes + done, allowed - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
    }
    if (written != nullptr) *written = done;
    return done == length;
}

bool FileSeek(File *file, int64_t offset) {
    return file != nullptr && offset >= 0 && ::lseek(file->fd, offset, SEEK_SET) == offset;
}

bool FileTruncate(File *file) {
    if (file == nullptr) return false;
    const off_t at = ::lseek(file->fd, 0, SEEK_CUR);
    return at >= 0 && ::ftruncate(file->fd, at) == 0;
}

bool FileSeekEnd(File *file) {
    return file != nullptr && ::lseek(file->fd, 0, SEEK_END) >= 0;
}

int64_t FileSize(File *file) {
    struct stat st {};
    if (file == nullptr || ::fstat(file->fd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

void FileClose(File *file) {
    if (file == nullptr) return;
    ::close(file->fd);
    delete file;
}

FILE *OpenCStream(const wchar_t *path, const char *mode) {
    std::string narrow = NarrowPath(path);
    if (narrow.empty() || mode == nullptr) return nullptr;
    return std::fopen(narrow.c_str(), mode);
}

// ---- Clocks.
namespace backend {
namespace {
uint32_t SteadyMilliseconds() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
}  // namespace

uint32_t RawTimeGetTime() {
    return SteadyMilliseconds();
}
uint32_t RawTickCount() {
    return SteadyMilliseconds();
}

LocalTime RawLocalTime() {
    struct timeval tv {};
    ::gettimeofday(&tv, nullptr);
    time_t seconds = tv.tv_sec;
    struct tm parts {};
    ::localtime_r(&seconds, &parts);
    return LocalTime{parts.tm_hour, parts.tm_min, parts.tm_sec,
                     static_cast<int>(tv.tv_usec / 1000)};
}
}  // namespace backend

namespace {
int64_t ClockNanoseconds(clockid_t clock) {
    timespec t{};
    ::clock_gettime(clock, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}
}  // namespace

int64_t MonotonicNanoseconds() {
    return ClockNanoseconds(CLOCK_MONOTONIC);
}
int64_t UtcNanoseconds() {
    return ClockNanoseconds(CLOCK_REALTIME);
}

// ---- Threads: a better nice value for this thread only (never a real-time class,
// which could starve the machine); failure without the privilege is ignored.
void RaiseThreadPriority() {
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), -5);
}

bool DibSurfacesAvailable() {
    return false;
}

}  // namespace kalvex::platform
