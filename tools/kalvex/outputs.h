// Still images and recordings: type names, default file names, and the calls
// that ask the library for them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kalvex_tool {

struct SaveType {
    int code;
    const char *name;    // "png"
    const char *suffix;  // appended to a default stem: ".png"
    const char *what;    // for the help
};
const std::vector<SaveType> &SaveTypes();
// By number (0-13) or name; throws UsageError.
const SaveType &FindSaveType(const std::string &text);

// --snapshot TYPE[:FILE]
struct Snapshot {
    const SaveType *type = nullptr;
    std::string file;  // empty: stem + suffix
};
Snapshot ParseSnapshot(const std::string &text);

// --record raw|avi|temp[:FILE]
struct Recording {
    int kind = 0;  // KALVEX_REC_*
    std::string file;
};
Recording ParseRecording(const std::string &text);
const char *RecordingSuffix(int kind);

// dir/name unless name is absolute or dir empty.
std::string InDirectory(const std::string &dir, const std::string &name);
// "a/b.png" with index 7 -> "a/b-000007.png".
std::string Numbered(const std::string &path, long index);
// Creates dir (and parents); throws Failure.
void MakeDirectory(const std::string &dir);
// Size of a file, -1 if it does not exist.
int64_t FileSize(const std::string &path);

// Saves the newest frame; throws Failure with the library's event code.
void SaveFrame(int handle, const std::string &path, const SaveType &type);

}  // namespace kalvex_tool
