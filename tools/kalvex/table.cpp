// kalvex table: write a table matching the simulated sensor, or summarise one.
#include <cstdio>
#include <optional>

#include "cli.h"
#include "commands.h"
#include "kalvex.h"
#include "kalvex_sim.h"
#include "outputs.h"
#include "table_file.h"

namespace kalvex_tool {

int RunTable(const Args &args) {
    int layout = 4;
    std::optional<int> points;
    double minC = -20.0, maxC = 150.0;
    std::vector<Option> options = {
        {"--layout", "0-4", "write: 0 headerless, 1-4 the versions by magic (default 4)",
         [&](const std::string &v) { layout = ParseInt(v, "--layout", 0, 4); }},
        {"--points", "N", "write: number of points (default 64; 16384 for layouts 1-3)",
         [&](const std::string &v) { points = ParseInt(v, "--points", 1, 16384); }},
        {"--min", "CELSIUS", "write: lowest temperature (default -20)",
         [&](const std::string &v) { minC = ParseDouble(v, "--min", -273.15, 2000); }},
        {"--max", "CELSIUS", "write: highest temperature (default 150)",
         [&](const std::string &v) { maxC = ParseDouble(v, "--max", -273.15, 2000); }},
    };
    const CommandHelp help = {
        "kalvex table write FILE [--layout 0-4] [--points N] [--min C] [--max C]\n"
        "       kalvex table show FILE",
        "write: writes a calibration table that matches the simulated camera's sensor, so that\n"
        "a spot at 37.0 degrees reads 37.0 through the library (version 4 also carries the\n"
        "drift model). show: summarises a table file: layout by magic, points, raw and\n"
        "temperature range and, for version 4, the drift coefficients.",
        "The library interpolates only version-4 points once an instance is initialised;\n"
        "versions 1-3 give point m to raw value m and hold 16384 points."};
    std::vector<std::string> positional;
    if (!ParseOptions(args, options, &positional)) {
        PrintHelp(help, options);
        return 0;
    }
    if (positional.size() == 1 && positional[0] != "write" && positional[0] != "show")
        positional.insert(positional.begin(), "show");
    if (positional.size() != 2 || (positional[0] != "write" && positional[0] != "show"))
        throw UsageError("expected 'write FILE' or 'show FILE'");
    const std::string &file = positional[1];
    if (positional[0] == "show") {
        std::printf("%s", DescribeTable(ReadTable(file)).c_str());
        return 0;
    }
    if (maxC <= minC) throw UsageError("--max must be above --min");
    int count = points.value_or(layout >= 1 && layout <= 3 ? 16384 : 64);
    if (layout == 0 || layout == 4) {
        if (count < 2) throw UsageError("--points must be at least 2 for layouts 0 and 4");
    }
    CheckOutputFile(file);  // creates its folder; names the reason it cannot be written
    if (KalvexSim_WriteTable(file.c_str(), layout, count, minC, maxC) != 1)
        throw Failure("cannot write the table '" + file +
                          "' (unwritable, or more points than raw values between --min and --max)",
                      KALVEX_EV_FILE);
    std::printf("wrote %s\n%s", file.c_str(), DescribeTable(ReadTable(file)).c_str());
    return 0;
}

}  // namespace kalvex_tool
