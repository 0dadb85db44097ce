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
// "--snapshot png:a.png" as given (the type by name).
std::string SnapshotOption(const Snapshot &s);

// The radiometric sequences (KalvexSeq_Record), beside the library's kinds.
inline constexpr int kRecordSequence = 100;       // Deflate
inline constexpr int kRecordSequencePlain = 101;  // uncompressed
inline bool IsSequence(int kind) {
    return kind == kRecordSequence || kind == kRecordSequencePlain;
}

// --record raw|avi|temp|seq|seq-none[:FILE]
struct Recording {
    int kind = 0;  // KALVEX_REC_* or kRecordSequence*
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
// Checks before a capture that the file can be written: creates its folder if
// missing, refuses a folder in its place, and tries to open it for writing
// (an existing file is not truncated; a new one is removed again). Throws
// Failure (event 9) with the operating system's reason.
void CheckOutputFile(const std::string &path);
// Refuses (UsageError) two outputs that would write one file: each entry is
// the option that asked for it ("--snapshot png:a.png") and its path.
void CheckDistinctOutputs(const std::vector<std::pair<std::string, std::string>> &outputs);
// Save types 10-13 hold temperatures: without a table every pixel is -999.
inline bool HoldsTemperatures(const SaveType &type) {
    return type.code >= 10;
}

// Size of a file, -1 if it does not exist.
int64_t FileSize(const std::string &path);

// Where the tool's files put the top of the scene. Upright: the first row of
// every picture, array and recording is the top of the scene. Library: the
// library's own layout (which differs between types) is kept.
enum class RowLayout { Upright, Library };

// The output row-order flag (parameter 18) under which the library writes
// save type code with the top of the scene first.
int UprightOutputRowOrder(int code);
// Every recording kind is upright with parameter 18 at 0.
constexpr int kUprightRecordingRowOrder = 0;

// Saves the newest frame; throws Failure with the library's event code. With
// RowLayout::Upright it sets parameter 18 for the type first, or, when
// parameter 18 must stay as it is (recordingRuns: the capture thread reads it
// for every recorded frame), reverses the rows of a headerless array itself;
// pictures that would need the flag changed are refused (CanSaveUprightWhileRecording).
void SaveFrame(int handle, const std::string &path, const SaveType &type,
               RowLayout layout = RowLayout::Library, bool recordingRuns = false);
// Whether SaveFrame can write type upright while a recording runs.
bool CanSaveUprightWhileRecording(const SaveType &type);
// Bytes of one row of a headerless array save type (0 for pictures).
int ArrayRowBytes(int code);
// Reverses the order of the rows of a file of rowBytes-long rows in place.
void ReverseRowsInFile(const std::string &path, int rowBytes);

}  // namespace kalvex_tool
