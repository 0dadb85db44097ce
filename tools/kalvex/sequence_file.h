// What the tool's commands share about radiometric sequences: why the reader
// refused one, and its embedded calibration table as a file the library loads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kalvex_scene.h"

namespace kalvex_tool {

// A user's words for a negative result of the sequence reader.
std::string SequenceRefusal(int32_t code);

// A new file name in the temporary folder's kalvex-tables (created if
// missing), "stem-TIME-COUNT.bin"; empty when the folder cannot be made.
std::string TemporaryTableName(const std::string &stem);

// The table a sequence was recorded with, in a temporary file removed with
// this object (path() is empty when it was recorded without one), and the
// scene of its first frame.
class RecordingTable {
  public:
    explicit RecordingTable(const std::string &sequence);  // throws Failure
    ~RecordingTable();
    RecordingTable(const RecordingTable &) = delete;
    RecordingTable &operator=(const RecordingTable &) = delete;
    const std::string &path() const { return path_; }
    const std::optional<KalvexScene> &scene() const { return scene_; }

  private:
    std::string path_;
    std::optional<KalvexScene> scene_;
};

}  // namespace kalvex_tool
