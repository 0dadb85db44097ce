#include "sequence_file.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <vector>

#include "cli.h"
#include "kalvex.h"
#include "kalvex_sequence.h"

namespace kalvex_tool {

std::string SequenceRefusal(int32_t code) {
    switch (code) {
        case KALVEX_SEQ_E_OPEN:
            return "the file cannot be read";
        case KALVEX_SEQ_E_NOT_TIFF:
            return "not a TIFF file with pages";
        case KALVEX_SEQ_E_FORMAT:
            return "a page is not a 640 x 480 16-bit single-sample image";
        case KALVEX_SEQ_E_METADATA:
            return "a page lacks the frame metadata, or it is not valid JSON";
        case KALVEX_SEQ_E_TABLE:
            return "the embedded calibration table is missing or damaged";
        case KALVEX_SEQ_E_TRUNCATED:
            return "a page's data is truncated";
        case KALVEX_SEQ_E_NO_MEMORY:
            return "out of memory";
        default:
            return "not a radiometric sequence (code " + std::to_string(code) + ")";
    }
}

std::string TemporaryTableName(const std::string &stem) {
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::temp_directory_path(ec) / "kalvex-tables";
    if (!ec) std::filesystem::create_directories(dir, ec);
    if (ec) return std::string();
    return (dir /
            (stem + "-" + std::to_string(std::time(nullptr)) + "-" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".bin"))
        .string();
}

RecordingTable::RecordingTable(const std::string &sequence) {
    const int32_t seq = KalvexSeq_OpenA(sequence.c_str());
    if (seq <= 0)
        throw Failure("cannot read '" + sequence + "': " + SequenceRefusal(seq), KALVEX_EV_FILE);
    std::vector<char> bytes(static_cast<size_t>(std::max(0, KalvexSeq_GetTable(seq, nullptr, 0))));
    const bool read = bytes.empty() ||
                      KalvexSeq_GetTable(seq, bytes.data(), static_cast<int32_t>(bytes.size())) ==
                          static_cast<int32_t>(bytes.size());
    KalvexScene scene{};
    if (KalvexSeq_GetScene(seq, &scene) == 1) scene_ = scene;
    KalvexSeq_Close(seq);
    if (!read) throw Failure("cannot read the table of '" + sequence + "'", KALVEX_EV_FILE);
    if (bytes.empty()) return;
    const std::string file = TemporaryTableName("recorded-table");
    std::ofstream out;
    if (!file.empty()) out.open(file, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (file.empty() || !out)
        throw Failure("cannot write the recording's table in the temporary folder", KALVEX_EV_FILE);
    path_ = file;
}

RecordingTable::~RecordingTable() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove(path_, ec);
}

}  // namespace kalvex_tool
