#include "thermal/thermo_table.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "thermal/thermo_table_file.h"
#include "thermal/thermo_table_literal.h"

namespace kalvex {
namespace {

using Points = std::vector<CalibrationPoint>;
using Bytes = std::vector<uint8_t>;

// ---- A tiny table writer ----------------------------------------------------------

void PutI32(Bytes &b, int32_t v) {
    auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(u >> (8 * i)));
}
void PutF32(Bytes &b, float v) {
    PutI32(b, std::bit_cast<int32_t>(v));
}
void PutPoints(Bytes &b, const Points &points) {
    for (const CalibrationPoint &p : points) {
        PutI32(b, p.raw);
        PutF32(b, p.temperature);
    }
}
Bytes Magic(int version) {
    std::string text = "VELKAR THERMO TABLE " + std::to_string(version) + "000";
    return Bytes(text.begin(), text.end());
}
Bytes Headerless(const Points &points) {
    Bytes b;
    PutI32(b, static_cast<int32_t>(points.size()));
    PutPoints(b, points);
    return b;
}
Bytes Version1(const Points &points) {
    Bytes b = Magic(1);
    PutI32(b, static_cast<int32_t>(points.size()));
    PutPoints(b, points);
    return b;
}
Bytes Version2(const std::vector<Points> &tables) {
    Bytes b = Magic(2);
    PutI32(b, static_cast<int32_t>(tables.size()));
    size_t offset = 28 + 4 * tables.size();
    for (const Points &t : tables) {
        PutI32(b, static_cast<int32_t>(offset));
        offset += 4 + 8 * t.size();
    }
    for (const Points &t : tables) {
        PutI32(b, static_cast<int32_t>(t.size()));
        PutPoints(b, t);
    }
    return b;
}
Bytes Version3(const Points &points) {
    Bytes b = Magic(3);
    PutI32(b, 0x5A5A5A5A);
    PutI32(b, static_cast<int32_t>(points.size()));
    PutPoints(b, points);
    return b;
}
Bytes Version4(float calibration, float a, float b, const Points &points) {
    Bytes out = Magic(4);
    PutI32(out, 11);
    PutI32(out, 22);
    PutF32(out, calibration);
    PutF32(out, a);
    PutF32(out, b);
    PutI32(out, static_cast<int32_t>(points.size()));
    PutPoints(out, points);
    return out;
}

std::wstring TempPath(const std::string &name) {
    std::string narrow = std::string(KALVEX_TEST_TMPDIR) + "/thermo_table_" + name;
    return std::wstring(narrow.begin(), narrow.end());
}
std::wstring WriteTable(const std::string &name, const Bytes &bytes) {
    std::string narrow = std::string(KALVEX_TEST_TMPDIR) + "/thermo_table_" + name;
    std::FILE *f = std::fopen(narrow.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f != nullptr) {
        if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    return TempPath(name);
}

int Load(CThermoTable &table, const Bytes &bytes, int32_t tableNumber = 0) {
    return table.LoadTableFromMemory(bytes.data(), bytes.size(), tableNumber);
}

// 16384 points whose temperatures identify them; raw fields deliberately wrong,
// since direct-copy layouts place point m at raw value m.
Points Indexed(size_t n, float base) {
    Points p(n);
    for (size_t m = 0; m < n; ++m) p[m] = {-7, base + static_cast<float>(m) * 0.25f};
    return p;
}

uint32_t Bits(float f) {
    return std::bit_cast<uint32_t>(f);
}

// ---- Interpolation ----------------------------------------------------------------

TEST(ThermoTableInterpolation, BracketsAroundTheValue) {
    CThermoTable t;
    ASSERT_EQ(Load(t, Headerless({{1000, 20.0f}, {2000, 40.0f}})), 1);
    EXPECT_EQ(t.InterpolateTemperature(1500), 30.0f);
    EXPECT_EQ(t.InterpolateTemperature(1000), kNoTemperature);  // equal point skipped, none below
    EXPECT_EQ(t.InterpolateTemperature(2000), kNoTemperature);  // nothing above
    EXPECT_EQ(t.InterpolateTemperature(999), kNoTemperature);

    ASSERT_EQ(Load(t, Headerless({{1000, 20.0f}, {2000, 40.0f}, {3000, 50.0f}})), 1);
    EXPECT_EQ(t.InterpolateTemperature(2000), 35.0f);

    ASSERT_EQ(Load(t, Headerless({{0, 0.0f}, {1000, 10.0f}, {2000, 30.0f}, {3000, 60.0f}})), 1);
    EXPECT_EQ(t.InterpolateTemperature(1500), 25.0f);
    // Arguments outside the 16-bit range take the walk.
    EXPECT_EQ(t.InterpolateTemperature(-5), kNoTemperature);
    EXPECT_EQ(t.InterpolateTemperature(70000), kNoTemperature);
}

TEST(ThermoTableInterpolation, MissingTemperatureSkippedOnlyBeforeTheFirstUpperPoint) {
    CThermoTable t;
    // (1200, -999) must not end the walk for x = 1100: the bracket is 1000..2000.
    ASSERT_EQ(Load(t, Headerless({{0, 0.0f}, {1000, 20.0f}, {1200, -999.0f}, {2000, 40.0f}})), 1);
    EXPECT_EQ(t.InterpolateTemperature(1100), 22.0f);

    // Among the upper points it is used as it comes.
    ASSERT_EQ(Load(t, Headerless({{0, 0.0f}, {1000, 20.0f}, {2000, 40.0f}, {2500, -999.0f}})), 1);
    float expected = 0.0f;
    expected += 20.0f / 1000.0f * 500.0f;
    expected += 20.0f;
    expected += (-999.0f - 0.0f) / 2500.0f * 1500.0f;
    expected += 0.0f;
    EXPECT_EQ(Bits(t.InterpolateTemperature(1500)), Bits(expected / 2.0f));
}

TEST(ThermoTableInterpolation, AtMostTenBrackets) {
    Points p;
    for (int i = 0; i < 30; ++i) p.push_back({i * 10, static_cast<float>(i * i)});
    CThermoTable t;
    ASSERT_EQ(Load(t, Headerless(p)), 1);
    Points active(p.begin(), p.end());
    EXPECT_EQ(Bits(t.InterpolateTemperature(155)),
              Bits(literal::InterpolateTemperature(active, 155)));
    // Built by hand: ten pairs (150 - 10k, 160 + 10k).
    float sum = 0.0f;
    for (int k = 0; k < 10; ++k) {
        float tl = static_cast<float>((15 - k) * (15 - k));
        float tu = static_cast<float>((16 + k) * (16 + k));
        sum += (tu - tl) / static_cast<float>(10 + 20 * k) * static_cast<float>(5 + 10 * k);
        sum += tl;
    }
    EXPECT_EQ(Bits(t.InterpolateTemperature(155)), Bits(sum / 10.0f));
}

// ---- Layouts ------------------------------------------------------------------------

TEST(ThermoTableLayout, MagicDecidesTheLayout) {
    CThermoTable t;
    const Points full = Indexed(16384, 5.0f);

    ASSERT_EQ(t.LoadTable(WriteTable("v1", Version1(full)).c_str()), 1);
    EXPECT_EQ(t.Version(), 1);
    EXPECT_EQ(t.LookupTemperature(0), 5.0f);
    EXPECT_EQ(t.LookupTemperature(16383), 5.0f + 16383 * 0.25f);

    ASSERT_EQ(t.LoadTable(WriteTable("v3", Version3(Indexed(16384, 9.0f))).c_str()), 1);
    EXPECT_EQ(t.Version(), 3);
    EXPECT_EQ(t.LookupTemperature(1), 9.25f);

    ASSERT_EQ(t.LoadTable(WriteTable("v2", Version2({Indexed(16384, 1.0f)})).c_str()), 1);
    EXPECT_EQ(t.Version(), 2);
    EXPECT_EQ(t.LookupTemperature(2), 1.5f);

    // Headerless: count at offset 0, interpolated; the version stays.
    ASSERT_EQ(t.LoadTable(WriteTable("v0", Headerless({{1000, 20.0f}, {2000, 40.0f}})).c_str()), 1);
    EXPECT_EQ(t.Version(), 2);
    EXPECT_EQ(t.Count(), 2);
    EXPECT_EQ(t.LookupTemperature(1500), 30.0f);
    EXPECT_EQ(t.LookupTemperature(1000), kNoTemperature);

    ASSERT_EQ(
        t.LoadTable(WriteTable("v4", Version4(30.0f, 0, 0, {{10, 1.0f}, {20, 2.0f}})).c_str()), 1);
    EXPECT_EQ(t.Version(), 4);
    auto s = t.State();
    EXPECT_EQ(s->reservedA, 11);
    EXPECT_EQ(s->reservedB, 22);
    EXPECT_EQ(s->calibrationTemperature, 30.0f);
    EXPECT_EQ(t.LookupTemperature(15), 1.5f);
}

TEST(ThermoTableLayout, ShortDirectCopyTablesEndInMissingTemperatures) {
    CThermoTable t;
    ASSERT_EQ(Load(t, Version1(Indexed(100, 3.0f))), 1);
    EXPECT_EQ(t.LookupTemperature(99), 3.0f + 99 * 0.25f);
    EXPECT_EQ(t.LookupTemperature(100), kNoTemperature);
    EXPECT_EQ(t.LookupTemperature(16383), kNoTemperature);
}

TEST(ThermoTableLayout, CountLimits) {
    CThermoTable t;
    Points p(16384);
    for (int i = 0; i < 16384; ++i) p[static_cast<size_t>(i)] = {i, static_cast<float>(i)};
    EXPECT_EQ(Load(t, Headerless(p)), 1);
    EXPECT_EQ(t.Count(), 16384);
    p.push_back({16384, 16384.0f});
    EXPECT_EQ(Load(t, Headerless(p)), 0);
    EXPECT_EQ(Load(t, Headerless({})), 0);
    Bytes negative;
    PutI32(negative, -1);
    PutPoints(negative, {{1, 1.0f}});
    EXPECT_EQ(Load(t, negative), 0);
    EXPECT_EQ(Load(t, Version1(Points(16385, {0, 1.0f}))), 0);
    EXPECT_EQ(t.Count(), 16384);
}

TEST(ThermoTableLayout, Version2PicksTheNumberedTable) {
    CThermoTable t;
    const Points a = Indexed(16, 100.0f);
    const Points b = Indexed(16, 200.0f);
    EXPECT_EQ(Load(t, Version2({a})), 1);
    EXPECT_EQ(t.LookupTemperature(0), 100.0f);
    EXPECT_EQ(Load(t, Version2({a, b}), 1), 1);
    EXPECT_EQ(t.LookupTemperature(0), 200.0f);
    EXPECT_EQ(Load(t, Version2({a, b}), 2), 0);
    EXPECT_EQ(Load(t, Version2({a, b}), -1), 0);
    EXPECT_EQ(Load(t, Version2({})), 0);
    EXPECT_EQ(t.LookupTemperature(0), 200.0f);
}

TEST(ThermoTableLayout, OnePointTableLoadsWithoutLookup) {
    CThermoTable t;
    ASSERT_EQ(Load(t, Headerless({{1000, 20.0f}, {2000, 40.0f}})), 1);
    ASSERT_EQ(Load(t, Version1({{0, 12.0f}})), 1);
    EXPECT_EQ(t.Count(), 1);
    // The previous table's temperatures do not survive the load.
    EXPECT_EQ(t.LookupTemperature(1500), kNoTemperature);
    EXPECT_EQ(t.LookupTemperature(0), kNoTemperature);
    EXPECT_EQ(t.BuildLookup(false), 0);
    EXPECT_EQ(t.BuildLookup(true), 0);
}

TEST(ThermoTableLayout, BuildLookupSwitchesBetweenCopyAndInterpolation) {
    CThermoTable t;
    Points p = {{0, 0.0f}, {10, 10.0f}, {20, 20.0f}};
    ASSERT_EQ(Load(t, Headerless(p)), 1);
    EXPECT_EQ(t.LookupTemperature(1), 1.0f);
    EXPECT_EQ(t.LookupTemperature(5), 5.0f);
    ASSERT_EQ(t.BuildLookup(false), 1);
    EXPECT_EQ(t.LookupTemperature(1), 10.0f);  // point 1's temperature
    EXPECT_EQ(t.LookupTemperature(5), kNoTemperature);
    ASSERT_EQ(t.BuildLookup(true), 1);
    EXPECT_EQ(t.LookupTemperature(5), 5.0f);
}

TEST(ThermoTableLayout, LookupOutsideFourteenBits) {
    CThermoTable t;
    Points p = {{0, 0.0f}, {65535, 65535.0f}};
    ASSERT_EQ(Load(t, Headerless(p)), 1);
    EXPECT_EQ(t.LookupTemperature(16383), 16383.0f);
    EXPECT_EQ(t.LookupTemperature(16384), kNoTemperature);
    EXPECT_EQ(t.LookupTemperature(65535), kNoTemperature);
    EXPECT_EQ(t.InterpolateTemperature(16384), 16384.0f);
}

// ---- Drift compensation -------------------------------------------------------------

TEST(ThermoTableDrift, Version4ShiftFollowsTheReference) {
    std::atomic<float> reference{32.0f};
    CThermoTable t;
    t.LinkReferenceTemperature(&reference);
    t.SetCorrectionMode(13);
    ASSERT_EQ(Load(t, Version4(30.0f, 0.01f, 1.0f, {{2, 50.0f}, {1000, 50.0f}, {2000, 60.0f}})), 1);
    auto s = t.State();
    // (0.5 + 1.0) * -2.0 + 1000 = 997; 2 would move to -1 and stays.
    EXPECT_EQ(s->compensated[0].raw, 2);
    EXPECT_EQ(s->compensated[1].raw, 997);
    EXPECT_EQ(s->compensated[1].temperature, 50.0f);
    EXPECT_EQ(s->loaded[1].raw, 1000);
    EXPECT_EQ(s->compensated[2].raw, 1996);  // (0.6 + 1) * -2 + 2000 = 1996.8
    const Points shifted = {{2, 50.0f}, {997, 50.0f}, {1996, 60.0f}};
    EXPECT_EQ(t.InterpolateTemperature(1500), literal::InterpolateTemperature(shifted, 1500));
    EXPECT_EQ(t.LookupTemperature(1500), literal::InterpolateTemperature(shifted, 1500));
    EXPECT_NE(t.LookupTemperature(1995), kNoTemperature);
    EXPECT_EQ(t.LookupTemperature(1996), kNoTemperature);  // the top point moved down from 2000

    reference.store(28.0f);
    ASSERT_EQ(t.RecreateTable(), 1);
    EXPECT_EQ(t.State()->compensated[0].raw, 5);
    EXPECT_EQ(t.State()->compensated[1].raw, 1003);
    EXPECT_EQ(t.State()->compensated[2].raw, 2003);
    EXPECT_NE(t.LookupTemperature(2002), kNoTemperature);
    EXPECT_EQ(t.LookupTemperature(2003), kNoTemperature);

    // Zero coefficients leave the points where they are.
    ASSERT_EQ(Load(t, Version4(30.0f, 0.0f, 0.0f, {{5, 1.0f}, {900, 2.0f}})), 1);
    EXPECT_EQ(t.State()->compensated[0].raw, 5);
    EXPECT_EQ(t.State()->compensated[1].raw, 900);
}

TEST(ThermoTableDrift, ShiftEdgeCases) {
    EXPECT_EQ(ShiftRawValue(1000, 50.0f, 0.01f, 1.0f, -2.0f), 997);
    EXPECT_EQ(ShiftRawValue(3, 0.0f, 0.0f, 1.0f, -3.0f), 3);   // exactly 0
    EXPECT_EQ(ShiftRawValue(3, 0.0f, 0.0f, 1.0f, -2.5f), 0);   // 0.5 truncates to 0
    EXPECT_EQ(ShiftRawValue(7, 0.0f, 0.0f, 1e30f, 1e30f), 7);  // beyond int32
    EXPECT_EQ(ShiftRawValue(7, 0.0f, std::numeric_limits<float>::quiet_NaN(), 1.0f, 1.0f), 7);
}

TEST(ThermoTableDrift, RecreateTableConditions) {
    std::atomic<float> reference{32.0f};
    CThermoTable t;
    t.SetCorrectionMode(13);
    ASSERT_EQ(Load(t, Headerless({{1000, 20.0f}, {2000, 40.0f}})), 1);
    EXPECT_EQ(t.RecreateTable(), 0);  // not a version-4 table

    const Bytes v4 = Version4(30.0f, 0.01f, 1.0f, {{1000, 50.0f}, {2000, 60.0f}});
    ASSERT_EQ(Load(t, v4), 1);
    EXPECT_EQ(t.RecreateTable(), 0);  // no reference linked
    t.LinkReferenceTemperature(&reference);
    reference.store(0.0f);
    EXPECT_EQ(t.RecreateTable(), 0);  // no reading
    EXPECT_EQ(t.State()->compensated[0].raw, 1000);
    reference.store(32.0f);
    EXPECT_EQ(t.RecreateTable(), 1);
    EXPECT_EQ(t.State()->compensated[0].raw, 997);
    reference.store(0.0f);
    EXPECT_EQ(t.RecreateTable(), 0);
    EXPECT_EQ(t.State()->compensated[0].raw, 997);  // kept

    t.SetCorrectionMode(-1);
    reference.store(40.0f);
    EXPECT_EQ(t.RecreateTable(), 1);  // compensation off: nothing to do
    EXPECT_EQ(t.State()->compensated[0].raw, 997);
    EXPECT_EQ(t.InterpolateTemperature(1500), 55.0f);  // loaded points
    t.SetCorrectionMode(12);
    EXPECT_EQ(t.InterpolateTemperature(1500),
              literal::InterpolateTemperature({{997, 50.0f}, {1996, 60.0f}}, 1500));
}

TEST(ThermoTableDrift, Version4WithoutReadingStartsUnshifted) {
    std::atomic<float> reference{0.0f};
    CThermoTable t;
    t.LinkReferenceTemperature(&reference);
    t.SetCorrectionMode(13);
    ASSERT_EQ(Load(t, Headerless({{0, 100.0f}, {16000, 200.0f}})), 1);
    ASSERT_EQ(Load(t, Version4(30.0f, 0.01f, 1.0f, {{1000, 50.0f}, {2000, 60.0f}})), 1);
    EXPECT_EQ(t.LookupTemperature(1500), 55.0f);
    EXPECT_EQ(t.LookupTemperature(500), kNoTemperature);  // nothing left of the old table
    reference.store(32.0f);
    ASSERT_EQ(t.RecreateTable(), 1);
    EXPECT_EQ(t.State()->compensated[0].raw, 997);
}

TEST(ThermoTableDrift, HeaderlessTablesKeepWorkingWithCompensationOn) {
    std::atomic<float> reference{25.0f};
    CThermoTable t;
    t.LinkReferenceTemperature(&reference);
    t.SetCorrectionMode(13);
    ASSERT_EQ(Load(t, Version4(30.0f, 0.01f, 1.0f, {{1000, 50.0f}, {2000, 60.0f}})), 1);
    ASSERT_EQ(Load(t, Headerless({{1000, 20.0f}, {2000, 40.0f}})), 1);
    EXPECT_EQ(t.Version(), 4);  // a headerless load keeps the version
    EXPECT_EQ(t.InterpolateTemperature(1500), 30.0f);
    EXPECT_EQ(t.LookupTemperature(1500), 30.0f);
    EXPECT_EQ(t.RecreateTable(), 0);
    EXPECT_EQ(t.LookupTemperature(1500), 30.0f);
}

// ---- Hostile files ------------------------------------------------------------------

TEST(ThermoTableHostile, RefusedFilesKeepThePreviousTable) {
    std::atomic<float> reference{32.0f};
    CThermoTable t;
    t.LinkReferenceTemperature(&reference);
    t.SetCorrectionMode(13);
    ASSERT_EQ(Load(t, Version4(30.0f, 0.01f, 1.0f, {{1000, 50.0f}, {2000, 60.0f}})), 1);
    const auto before = t.State();

    auto truncated = [](Bytes b, size_t drop) {
        b.resize(b.size() - drop);
        return b;
    };
    const Points two = {{1, 1.0f}, {2, 2.0f}};
    std::vector<Bytes> hostile = {
        {},                                     // empty
        {1, 0, 0},                              // shorter than a count
        truncated(Version1(two), 17),           // header cut inside the count
        truncated(Version3(two), 17),           // count missing
        truncated(Version4(1, 1, 1, two), 17),  // coefficients cut off
        truncated(Version1(two), 1),            // points run past the end
        truncated(Headerless(two), 4),          // points run past the end
        truncated(Version2({two}), 1),          // points run past the end
    };
    Bytes offsetOutside = Magic(2);
    PutI32(offsetOutside, 1);
    PutI32(offsetOutside, 1 << 20);
    hostile.push_back(offsetOutside);
    Bytes offsetNegative = Magic(2);
    PutI32(offsetNegative, 1);
    PutI32(offsetNegative, -4);
    hostile.push_back(offsetNegative);
    Bytes offsetAtEnd = Magic(2);
    PutI32(offsetAtEnd, 1);
    PutI32(offsetAtEnd, 30);  // count would straddle the end
    hostile.push_back(offsetAtEnd);
    Bytes slotsMissing = Magic(2);
    PutI32(slotsMissing, 1000);
    hostile.push_back(slotsMissing);

    for (size_t i = 0; i < hostile.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Load(t, hostile[i]), 0);
        EXPECT_EQ(Load(t, slotsMissing, 999), 0);
        EXPECT_EQ(t.LoadTable(WriteTable("hostile", hostile[i]).c_str()), 0);
        EXPECT_EQ(t.State(), before);
    }
    EXPECT_EQ(t.LoadTable(TempPath("missing").c_str()), 0);
    EXPECT_EQ(t.LoadTable(nullptr), 0);
    EXPECT_EQ(t.LoadTable(L""), 0);
    EXPECT_EQ(t.LoadTableFromMemory(nullptr, 100), 0);
    EXPECT_EQ(t.LoadTableVersion4(WriteTable("v1only", Version1(two)).c_str()), 0);
    EXPECT_EQ(t.State(), before);
    EXPECT_EQ(t.Version(), 4);
    EXPECT_EQ(t.State()->compensated[0].raw, 997);

    ASSERT_EQ(t.LoadTableVersion4(WriteTable("v4ok", Version4(30, 0, 0, two)).c_str()), 1);
    EXPECT_EQ(t.Count(), 2);
}

TEST(ThermoTableHostile, ShortReadIsRefused) {
    const Bytes file = Headerless({{1, 1.0f}, {2, 2.0f}});
    size_t served = 0;
    auto reader = [&](size_t limit) {
        return [&, limit](void *buffer, uint32_t length, uint32_t *got) {
            size_t n = std::min<size_t>({length, limit - served, file.size() - served});
            std::memcpy(buffer, file.data() + served, n);
            served += n;
            *got = static_cast<uint32_t>(n);
            return true;
        };
    };
    Bytes out;
    EXPECT_TRUE(ReadTableBytes(static_cast<int64_t>(file.size()), reader(file.size()), out));
    EXPECT_EQ(out, file);
    served = 0;
    EXPECT_FALSE(ReadTableBytes(static_cast<int64_t>(file.size()), reader(file.size() - 3), out));
    EXPECT_TRUE(out.empty());
    auto failing = [](void *, uint32_t, uint32_t *got) {
        *got = 0;
        return false;
    };
    EXPECT_FALSE(ReadTableBytes(4, failing, out));
    EXPECT_FALSE(ReadTableBytes(0, failing, out));
    EXPECT_FALSE(ReadTableBytes(kMaxTableFileSize + 1, failing, out));
}

// ---- Fast paths against the literal walk ---------------------------------------------

// Every raw value from 0 to lastRaw (and a few beyond the cache) through the
// cache, and the interpolated lookup array, against the literal walk.
void ExpectMatchesLiteral(const CThermoTable &t, const Points &active, int32_t lastRaw) {
    auto s = t.State();
    std::vector<float> lookup = literal::BuildLookupByInterpolation(active);
    for (uint16_t raw = 0; raw < 16384; ++raw) {
        ASSERT_EQ(Bits(s->LookupTemperature(raw)), Bits(lookup[raw])) << "raw = " << raw;
        ASSERT_EQ(Bits(s->InterpolateTemperature(raw)), Bits(lookup[raw])) << "raw = " << raw;
    }
    for (int32_t x = 16384; x <= lastRaw; ++x) {
        float expected = literal::InterpolateTemperature(active, x);
        ASSERT_EQ(Bits(s->InterpolateTemperature(x)), Bits(expected)) << "x = " << x;
    }
    for (int32_t x : {-100000, -1, 65536, 70000, 1 << 30}) {
        ASSERT_EQ(Bits(s->InterpolateTemperature(x)),
                  Bits(literal::InterpolateTemperature(active, x)))
            << "x = " << x;
    }
}

Points RandomTable(std::mt19937 &rng, size_t n, int32_t spread, bool sorted, int missingEvery) {
    Points p(n);
    std::uniform_int_distribution<int32_t> raw(0, spread);
    std::uniform_real_distribution<float> temp(-40.0f, 500.0f);
    for (size_t i = 0; i < n; ++i) p[i] = {raw(rng), temp(rng)};
    if (sorted) std::sort(p.begin(), p.end(), [](auto a, auto b) { return a.raw < b.raw; });
    if (missingEvery > 0) {
        for (size_t i = 0; i < n; i += static_cast<size_t>(missingEvery))
            p[i].temperature = -999.0f;
    }
    return p;
}

TEST(ThermoTableFastPath, MatchesTheLiteralWalkBitForBit) {
    std::mt19937 rng(12345);
    struct Case {
        size_t n;
        int32_t spread;
        bool sorted;
        int missingEvery;
        int32_t lastRaw;
    };
    const Case cases[] = {
        {2, 16383, true, 0, 65535},     {100, 16383, true, 7, 65535},
        {100, 300, true, 0, 65535},  // many equal raw values
        {1000, 20000, true, 13, 65535}, {1000, 65535, false, 5, 65535},
        {1000, 500, false, 0, 65535},   {3, 10, false, 0, 65535},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        Points p = RandomTable(rng, c.n, c.spread, c.sorted, c.missingEvery);
        CThermoTable t;
        ASSERT_EQ(Load(t, Headerless(p)), 1);
        ExpectMatchesLiteral(t, p, c.lastRaw);
    }
}

TEST(ThermoTableFastPath, FullTableMatchesTheLiteralWalk) {
    // 16384 points a few raw values apart, some missing, with wrapped raw
    // fields at both ends.
    Points p(16384);
    for (int32_t i = 0; i < 16384; ++i) {
        p[static_cast<size_t>(i)] = {i + (i % 3), 20.0f + static_cast<float>(i) * 0.01f};
        if (i % 97 == 0) p[static_cast<size_t>(i)].temperature = -999.0f;
    }
    p[1].raw = std::numeric_limits<int32_t>::min();
    p.back().raw = std::numeric_limits<int32_t>::max();
    CThermoTable t;
    ASSERT_EQ(Load(t, Headerless(p)), 1);
    ExpectMatchesLiteral(t, p, 16383);
    auto s = t.State();
    for (int32_t x = 16384; x < 65536; x += 4093) {
        ASSERT_EQ(Bits(s->InterpolateTemperature(x)), Bits(literal::InterpolateTemperature(p, x)));
    }
}

TEST(ThermoTableFastPath, CompensatedPointsMatchTheLiteralWalk) {
    std::mt19937 rng(777);
    std::atomic<float> reference{36.5f};
    CThermoTable t;
    t.LinkReferenceTemperature(&reference);
    t.SetCorrectionMode(13);
    Points p = RandomTable(rng, 500, 16383, true, 11);
    ASSERT_EQ(Load(t, Version4(30.0f, 0.02f, 3.0f, p)), 1);
    Points shifted = t.State()->compensated;
    ASSERT_EQ(shifted.size(), p.size());
    EXPECT_NE(shifted[1].raw, p[1].raw);
    ExpectMatchesLiteral(t, shifted, 65535);
}

}  // namespace
}  // namespace kalvex
