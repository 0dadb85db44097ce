#include "table_file.h"

#include <cstdio>

#include "cli.h"
#include "kalvex.h"

namespace kalvex_tool {

namespace {

// The magic of each header version, for the summary.
const char *const kMagics[] = {"VELKAR THERMO TABLE 1000", "VELKAR THERMO TABLE 2000",
                               "VELKAR THERMO TABLE 3000", "VELKAR THERMO TABLE 4000"};

}  // namespace

KalvexTableInfo ReadTable(const std::string &path) {
    KalvexTableInfo info{};
    char reason[512] = "";
    if (KalvexTable_CheckA(path.c_str(), &info, reason, sizeof reason) != 1)
        throw Failure("the table '" + path + "' is refused: " + reason, KALVEX_EV_FILE);
    return info;
}

bool TableRange(const KalvexTableInfo &table, double *minCelsius, double *maxCelsius) {
    if (!table.hasTemperature) return false;
    *minCelsius = table.celsiusMin;
    *maxCelsius = table.celsiusMax;
    return true;
}

std::string DescribeTable(const KalvexTableInfo &t) {
    std::string out;
    char line[256];
    auto add = [&](const char *text) { out += text; };
    if (t.layout >= 1 && t.layout <= 4)
        std::snprintf(line, sizeof line, "layout      version %d (\"%s\")\n", t.layout,
                      kMagics[t.layout - 1]);
    else
        std::snprintf(line, sizeof line, "layout      headerless (no magic)\n");
    add(line);
    std::snprintf(line, sizeof line, "file size   %d bytes\n", t.fileSize);
    add(line);
    if (t.layout == 2) {
        std::snprintf(line, sizeof line,
                      "tables      %d (table 0 shown, the one the library loads)\n", t.tables);
        add(line);
    }
    std::snprintf(line, sizeof line, "points      %d (%d without a temperature)%s\n", t.points,
                  t.missing, t.ascending ? "" : ", NOT in ascending raw order");
    add(line);
    std::snprintf(line, sizeof line, "raw         %d .. %d\n", t.rawMin, t.rawMax);
    add(line);
    if (t.hasTemperature)
        std::snprintf(line, sizeof line,
                      "celsius     %.2f .. %.2f \xC2\xB0"
                      "C\n",
                      static_cast<double>(t.celsiusMin), static_cast<double>(t.celsiusMax));
    else
        std::snprintf(line, sizeof line, "celsius     none\n");
    add(line);
    if (t.layout >= 1 && t.layout <= 3)
        add("lookup      point m gives the temperature of raw value m\n");
    else
        add("lookup      interpolated between the points\n");
    if (t.layout == 4) {
        std::snprintf(line, sizeof line,
                      "drift       calibrated at %.3f \xC2\xB0"
                      "C internal; shift (%g * t + %g) per degree\n",
                      static_cast<double>(t.calibration), static_cast<double>(t.slope),
                      static_cast<double>(t.intercept));
        add(line);
    } else {
        add("drift       none: temperatures are not corrected for the camera's internal\n"
            "            temperature (only version-4 tables carry a drift model)\n");
    }
    return out;
}

}  // namespace kalvex_tool
