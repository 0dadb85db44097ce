// KalvexTable_Check: its verdict is the loader's for any bytes, and its
// reasons name what is wrong.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kalvex_table.h"
#include "table_bytes.h"
#include "thermal/table_check.h"
#include "thermal/thermo_table.h"

namespace kalvex {
namespace {

using Bytes = std::vector<uint8_t>;

void Put(Bytes &b, int32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
}
Bytes Text(const std::string &s) {
    return Bytes(s.begin(), s.end());
}
void Points(Bytes &b, int count) {
    Put(b, count);
    for (int i = 0; i < count; ++i) {
        Put(b, 100 * i);
        float t = i == 1 ? kNoTemperature : 10.0f * static_cast<float>(i);
        int32_t bits;
        std::memcpy(&bits, &t, 4);
        Put(b, bits);
    }
}

// A small valid file of every layout (version 2 with two tables).
std::vector<Bytes> EveryLayout() {
    std::vector<Bytes> files;
    Bytes headerless;
    Points(headerless, 3);
    files.push_back(headerless);
    for (int v : {1, 3}) {
        Bytes b = Text("VELKAR THERMO TABLE " + std::to_string(v) + "000");
        if (v == 3) Put(b, 7);  // version 3: a field before the count
        Points(b, 3);
        files.push_back(b);
    }
    Bytes v2 = Text("VELKAR THERMO TABLE 2000");
    Put(v2, 2);
    Put(v2, 36);
    Put(v2, 36 + 4 + 3 * 8);
    Points(v2, 3);
    Points(v2, 2);
    files.push_back(v2);
    files.push_back(test::Version4Bytes(25.0f, 0.1f, 4.0f, {{100, 10.0f}, {200, 20.0f}}));
    return files;
}

bool Loads(const Bytes &b) {
    return CThermoTable().LoadTableFromMemory(b.data(), b.size(), 0) == 1;
}

TEST(TableCheck, AgreesWithTheLoaderOnEveryPrefixAndCountOfEveryLayout) {
    const int32_t counts[] = {-1, 0, 1, 2, 3, 4, 16384, 16385, 0x7FFFFFFF};
    for (const Bytes &file : EveryLayout()) {
        std::vector<Bytes> variants;
        for (size_t n = 0; n <= file.size(); ++n)
            variants.emplace_back(file.begin(), file.begin() + static_cast<long>(n));
        // Every 4-byte field set to each interesting count, one at a time.
        for (size_t at = 0; at + 4 <= file.size() && at < 64; at += 4)
            for (int32_t c : counts) {
                Bytes b = file;
                for (int i = 0; i < 4; ++i)
                    b[at + static_cast<size_t>(i)] =
                        static_cast<uint8_t>(static_cast<uint32_t>(c) >> (8 * i));
                variants.push_back(b);
            }
        for (const Bytes &b : variants) {
            std::string why = CheckTableBytes(b.data(), b.size(), nullptr);
            ASSERT_EQ(why.empty(), Loads(b)) << why << " (" << b.size() << " bytes)";
            // The reason walker knows every way the parser refuses.
            EXPECT_NE(why, "cannot be parsed") << b.size() << " bytes";
        }
    }
}

TEST(TableCheck, NamesWhatIsWrong) {
    Bytes v4short = Text("VELKAR THERMO TABLE 4000");
    v4short.resize(34);
    Bytes truncated;
    Put(truncated, 2);
    truncated.resize(16);
    Bytes noTable = Text("VELKAR THERMO TABLE 2000");
    Put(noTable, 0);
    Bytes farTable = Text("VELKAR THERMO TABLE 2000");
    Put(farTable, 1);
    Put(farTable, 0xFFFF);
    struct Case {
        Bytes bytes;
        const char *reason;
    } cases[] = {
        {Text("root:x:0:0:root:/root:/bin/bash\n"), "point count 1953460082 is outside 1-16384"},
        {v4short, "too short for its header"},
        {truncated, "truncated: 2 points need 20 bytes"},
        {noTable, "holds no table"},
        {farTable, "table 0 lies outside the file"},
        {Bytes{1, 0}, "too short for its point count"},
        {Bytes{}, "is empty"},
    };
    for (const Case &c : cases) {
        KalvexTableInfo info;
        std::memset(&info, 0x55, sizeof info);
        char reason[128];
        EXPECT_EQ(KalvexTable_CheckBytes(c.bytes.data(), static_cast<int>(c.bytes.size()), &info,
                                         reason, sizeof reason),
                  0);
        EXPECT_STREQ(reason, c.reason);
        EXPECT_EQ(info.points, 0);  // zeroed on refusal
    }
    char reason[8];
    EXPECT_EQ(KalvexTable_CheckBytes("x", -1, nullptr, reason, sizeof reason), 0);
    EXPECT_STREQ(reason, "negativ");  // cut to the buffer, terminated
    EXPECT_EQ(KalvexTable_CheckBytes(nullptr, 10, nullptr, nullptr, 0), 0);
}

TEST(TableCheck, FilesGiveTheOperatingSystemsReasonOrWhatTheyHold) {
    std::filesystem::path dir = std::filesystem::path(KALVEX_TEST_TMPDIR) / "table_check";
    std::filesystem::create_directories(dir);
    char reason[256];
    std::string missing = (dir / "missing.bin").string();
    EXPECT_EQ(KalvexTable_CheckA(missing.c_str(), nullptr, reason, sizeof reason), 0);
    EXPECT_STREQ(reason, "cannot be opened: No such file or directory");
    EXPECT_EQ(KalvexTable_CheckA(dir.string().c_str(), nullptr, reason, sizeof reason), 0);
    EXPECT_EQ(std::string(reason).rfind("cannot be", 0), 0u) << reason;
    EXPECT_EQ(KalvexTable_CheckW(nullptr, nullptr, reason, sizeof reason), 0);

    Bytes v2 = EveryLayout()[3];
    std::string file = (dir / "v2.bin").string();
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char *>(v2.data()), static_cast<long>(v2.size()));
    KalvexTableInfo info{};
    ASSERT_EQ(KalvexTable_CheckA(file.c_str(), &info, reason, sizeof reason), 1);
    EXPECT_STREQ(reason, "");
    EXPECT_EQ(info.layout, 2);
    EXPECT_EQ(info.tables, 2);
    EXPECT_EQ(info.fileSize, static_cast<int>(v2.size()));
    EXPECT_EQ(info.points, 3);
    EXPECT_EQ(info.missing, 1);
    EXPECT_EQ(info.rawMax, 200);
    EXPECT_FLOAT_EQ(info.celsiusMin, 0.0f);
    EXPECT_FLOAT_EQ(info.celsiusMax, 20.0f);

    Bytes v4 = test::Version4Bytes(25.0f, 0.1f, 4.0f, {{300, 30.0f}, {200, 20.0f}});
    ASSERT_EQ(KalvexTable_CheckBytes(v4.data(), static_cast<int>(v4.size()), &info, nullptr, 0), 1);
    EXPECT_EQ(info.ascending, 0);
    EXPECT_FLOAT_EQ(info.calibration, 25.0f);
    EXPECT_FLOAT_EQ(info.intercept, 4.0f);
}

}  // namespace
}  // namespace kalvex
