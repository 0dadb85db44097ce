// The narrow (…A) exports convert their text and call their wide twins. The
// conversion itself is the OS's (its code page); these keep the buffers safe.
#pragma once

#include <climits>
#include <cstring>
#include <new>
#include <vector>

namespace kalvex {

// Both convert a NUL-terminated text with its terminator into at most
// capacity units and return the units written, or 0 on failure.
using NarrowToWideFn = int (*)(const char *text, wchar_t *out, int capacity);
using WideToNarrowFn = int (*)(const wchar_t *text, char *out, int capacity);

// Converts text to wide (a null text stays null) and runs op on it. A string
// that cannot be held gives fail instead of a crash.
template <class R, class Op>
R WithWideText(const char *text, R fail, NarrowToWideFn convert, Op op) {
    if (text == nullptr) return op(static_cast<const wchar_t *>(nullptr));
    size_t n = std::strlen(text);
    if (n >= static_cast<size_t>(INT_MAX)) return fail;
    std::vector<wchar_t> wide;
    try {
        wide.assign(n + 1, L'\0');
    } catch (const std::bad_alloc &) {
        return fail;
    }
    convert(text, wide.data(), static_cast<int>(n + 1));
    return op(static_cast<const wchar_t *>(wide.data()));
}

// Runs op on a zeroed wide buffer of size characters and, only when it
// succeeds, converts the result into name. A negative size hands op a null
// buffer, which it refuses on its own size check.
template <class Op>
int WithWideBuffer(char *name, int size, WideToNarrowFn convert, Op op) {
    std::vector<wchar_t> wide;
    if (size > 0) {
        try {
            wide.assign(static_cast<size_t>(size), L'\0');
        } catch (const std::bad_alloc &) {
            return 0;
        }
    }
    int result = op(size > 0 ? wide.data() : nullptr, size);
    if (result != 0 && name != nullptr && size > 0) {
        wide[static_cast<size_t>(size) - 1] = 0;
        // On failure the caller's buffer must stay as it was: convert aside.
        std::vector<char> narrow(static_cast<size_t>(size), '\0');
        if (convert(wide.data(), narrow.data(), size) > 0)
            std::memcpy(name, narrow.data(), narrow.size());
    }
    return result;
}

}  // namespace kalvex
