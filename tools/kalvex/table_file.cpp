#include "table_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "cli.h"
#include "kalvex.h"

namespace kalvex_tool {

namespace {

constexpr size_t kMagicBytes = 24;
constexpr int32_t kMaxPoints = 16384;
constexpr float kMissing = -999.0f;

const char *const kMagics[] = {"VELKAR THERMO TABLE 1000", "VELKAR THERMO TABLE 2000",
                               "VELKAR THERMO TABLE 3000", "VELKAR THERMO TABLE 4000"};

// Little-endian fields at an offset, checked against the size.
class Reader {
  public:
    explicit Reader(const std::vector<uint8_t> &bytes) : bytes_(bytes) {}
    bool Has(uint64_t offset, uint64_t length) const { return offset + length <= bytes_.size(); }
    int32_t Int(size_t offset) const {
        uint32_t v = static_cast<uint32_t>(bytes_[offset]) |
                     static_cast<uint32_t>(bytes_[offset + 1]) << 8 |
                     static_cast<uint32_t>(bytes_[offset + 2]) << 16 |
                     static_cast<uint32_t>(bytes_[offset + 3]) << 24;
        return static_cast<int32_t>(v);
    }
    float Float(size_t offset) const {
        uint32_t v = static_cast<uint32_t>(Int(offset));
        float f;
        std::memcpy(&f, &v, sizeof f);
        return f;
    }

  private:
    const std::vector<uint8_t> &bytes_;
};

std::string ReadPoints(const Reader &r, size_t countAt, size_t pointsAt, TableSummary *out) {
    if (!r.Has(countAt, 4)) return "too short for its point count";
    int32_t count = r.Int(countAt);
    if (count < 1 || count > kMaxPoints)
        return "point count " + std::to_string(count) + " is outside 1-16384";
    if (!r.Has(pointsAt, static_cast<uint64_t>(count) * 8))
        return "truncated: " + std::to_string(count) + " points need " +
               std::to_string(pointsAt + static_cast<uint64_t>(count) * 8) + " bytes";
    out->points.clear();
    for (int32_t i = 0; i < count; ++i)
        out->points.push_back({r.Int(pointsAt + 8 * static_cast<size_t>(i)),
                               r.Float(pointsAt + 8 * static_cast<size_t>(i) + 4)});
    return "";
}

}  // namespace

std::string ParseTable(const std::vector<uint8_t> &bytes, TableSummary *out) {
    Reader r(bytes);
    out->fileSize = static_cast<int64_t>(bytes.size());
    out->version = 0;
    if (bytes.size() >= kMagicBytes)
        for (int v = 1; v <= 4; ++v)
            if (std::memcmp(bytes.data(), kMagics[v - 1], kMagicBytes) == 0) out->version = v;
    switch (out->version) {
        case 1:
            return ReadPoints(r, 24, 28, out);
        case 2: {
            if (!r.Has(24, 4)) return "too short for its table count";
            out->tables = r.Int(24);
            if (out->tables < 1) return "holds no table";
            if (!r.Has(28, 4)) return "too short for its table offsets";
            int32_t at = r.Int(28);
            if (at < 0 || !r.Has(static_cast<uint64_t>(at), 4))
                return "table 0 lies outside the file";
            return ReadPoints(r, static_cast<size_t>(at), static_cast<size_t>(at) + 4, out);
        }
        case 3:
            return ReadPoints(r, 28, 32, out);
        case 4:
            if (!r.Has(24, 24)) return "too short for its header";
            out->reservedA = r.Int(24);
            out->reservedB = r.Int(28);
            out->calibration = r.Float(32);
            out->slope = r.Float(36);
            out->intercept = r.Float(40);
            return ReadPoints(r, 44, 48, out);
        default:
            return ReadPoints(r, 0, 4, out);
    }
}

TableSummary ReadTable(const std::string &path) {
    errno = 0;
    std::FILE *probe = std::fopen(path.c_str(), "rb");
    if (probe == nullptr) {
        int reason = errno;
        throw Failure("cannot read the table '" + path +
                          "': " + (reason != 0 ? std::strerror(reason) : "cannot be opened"),
                      KALVEX_EV_FILE);
    }
    std::fclose(probe);
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw Failure("cannot read the table '" + path + "': it is a folder", KALVEX_EV_FILE);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure("cannot read the table '" + path + "'", KALVEX_EV_FILE);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    TableSummary table;
    std::string why = ParseTable(bytes, &table);
    if (!why.empty()) throw Failure("the table '" + path + "' is refused: " + why, KALVEX_EV_FILE);
    return table;
}

bool TableRange(const TableSummary &table, double *minCelsius, double *maxCelsius) {
    bool any = false;
    for (const TablePoint &p : table.points) {
        if (p.celsius == kMissing) continue;
        double c = p.celsius;
        if (!any || c < *minCelsius) *minCelsius = c;
        if (!any || c > *maxCelsius) *maxCelsius = c;
        any = true;
    }
    return any;
}

std::string DescribeTable(const TableSummary &t) {
    std::string out;
    char line[256];
    auto add = [&](const char *text) { out += text; };
    if (t.version == 0)
        std::snprintf(line, sizeof line, "layout      headerless (no magic)\n");
    else
        std::snprintf(line, sizeof line, "layout      version %d (\"%s\")\n", t.version,
                      kMagics[t.version - 1]);
    add(line);
    std::snprintf(line, sizeof line, "file size   %lld bytes\n",
                  static_cast<long long>(t.fileSize));
    add(line);
    if (t.version == 2) {
        std::snprintf(line, sizeof line,
                      "tables      %d (table 0 shown, the one the library loads)\n", t.tables);
        add(line);
    }
    size_t missing = 0;
    bool haveTemp = false;
    int32_t rawMin = t.points.front().raw, rawMax = rawMin;
    float tMin = 0.0f, tMax = 0.0f;
    bool ascending = true;
    for (size_t i = 0; i < t.points.size(); ++i) {
        const TablePoint &p = t.points[i];
        if (p.raw < rawMin) rawMin = p.raw;
        if (p.raw > rawMax) rawMax = p.raw;
        if (i > 0 && p.raw < t.points[i - 1].raw) ascending = false;
        if (p.celsius == kMissing) {
            ++missing;
            continue;
        }
        if (!haveTemp || p.celsius < tMin) tMin = p.celsius;
        if (!haveTemp || p.celsius > tMax) tMax = p.celsius;
        haveTemp = true;
    }
    std::snprintf(line, sizeof line, "points      %zu (%zu without a temperature)%s\n",
                  t.points.size(), missing, ascending ? "" : ", NOT in ascending raw order");
    add(line);
    std::snprintf(line, sizeof line, "raw         %d .. %d\n", rawMin, rawMax);
    add(line);
    if (haveTemp)
        std::snprintf(line, sizeof line, "celsius     %.2f .. %.2f\n", static_cast<double>(tMin),
                      static_cast<double>(tMax));
    else
        std::snprintf(line, sizeof line, "celsius     none\n");
    add(line);
    if (t.version >= 1 && t.version <= 3) {
        add("lookup      point m gives the temperature of raw value m\n");
    } else {
        add("lookup      interpolated between the points\n");
    }
    if (t.version == 4) {
        std::snprintf(line, sizeof line,
                      "drift       calibrated at %.3f C internal; shift (%g * t + %g) per degree\n",
                      static_cast<double>(t.calibration), static_cast<double>(t.slope),
                      static_cast<double>(t.intercept));
        add(line);
    } else if (t.version == 0) {
        add("note        the library interpolates only version-4 points once an instance is\n"
            "            initialised, so a headerless table yields no temperatures\n");
    }
    return out;
}

}  // namespace kalvex_tool
