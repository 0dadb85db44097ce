// kalvex info FILE: what a radiometric sequence holds, read through the
// library's sequence reader.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "kalvex.h"
#include "kalvex_sequence.h"
#include "sequence_file.h"

namespace kalvex_tool {

namespace {

std::string Utc(int64_t ns) {
    using namespace std::chrono;
    const sys_time<nanoseconds> t{nanoseconds{ns}};
    const sys_days day = floor<days>(t);
    const year_month_day date{day};
    const hh_mm_ss<nanoseconds> time{t - day};
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%06dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()),
                  static_cast<int>(time.subseconds().count() / 1000));
    return text;
}

// Closes the sequence however the command ends.
struct OpenSequence {
    int32_t seq;
    ~OpenSequence() { KalvexSeq_Close(seq); }
};

}  // namespace

int RunInfo(const Args &args) {
    const CommandHelp help = {
        "kalvex info FILE",
        "Describes a radiometric sequence (kalvex capture --record seq, or one of its parts):\n"
        "frames, time span, frame rate from the frames' own times, frames the camera sent that\n"
        "were not recorded (gaps in its frame counter), the embedded table and the scene.",
        ""};
    std::vector<Option> options;
    std::vector<std::string> positional;
    if (!ParseOptions(args, options, &positional)) {
        PrintHelp(help, options);
        return 0;
    }
    if (positional.size() != 1) throw UsageError("expected one FILE");
    const std::string &file = positional[0];
    const int32_t seq = KalvexSeq_OpenA(file.c_str());
    if (seq <= 0)
        throw Failure("cannot read '" + file + "': " + SequenceRefusal(seq), KALVEX_EV_FILE);
    OpenSequence open{seq};
    const int32_t count = KalvexSeq_Count(seq);
    std::vector<KalvexFrameInfo> frames(static_cast<size_t>(count > 0 ? count : 0));
    for (int32_t i = 0; i < count; ++i) {
        frames[static_cast<size_t>(i)].size = sizeof(KalvexFrameInfo);
        if (int32_t r = KalvexSeq_GetInfo(seq, i, &frames[static_cast<size_t>(i)]); r != 1)
            throw Failure("cannot read frame " + std::to_string(i) + " of '" + file +
                              "': " + SequenceRefusal(r),
                          KALVEX_EV_FILE);
    }
    std::printf("%s: radiometric sequence, %d frame%s of 640 x 480 raw counts\n", file.c_str(),
                count, count == 1 ? "" : "s");
    if (count > 0) {
        const KalvexFrameInfo &first = frames.front(), &last = frames.back();
        const double span = static_cast<double>(last.timestampNs - first.timestampNs) * 1e-9;
        std::printf("time     %s to %s (%.3f s)\n", Utc(first.utcNs).c_str(),
                    Utc(last.utcNs).c_str(), span);
        if (count > 1 && span > 0)
            std::printf("rate     %.2f frames/s (from the frames' own times)\n",
                        static_cast<double>(count - 1) / span);
        uint64_t skipped = 0;
        for (size_t i = 1; i < frames.size(); ++i)
            if (frames[i].cameraFrame > frames[i - 1].cameraFrame + 1)
                skipped += frames[i].cameraFrame - frames[i - 1].cameraFrame - 1;
        std::printf("frames   sequence %u-%u, camera frames %u-%u, %llu skipped\n", first.sequence,
                    last.sequence, first.cameraFrame, last.cameraFrame,
                    static_cast<unsigned long long>(skipped));
        const int32_t bytes = KalvexSeq_GetTable(seq, nullptr, 0);
        if (bytes > 0)
            std::printf("table    %d bytes, CRC-32 %08x\n", bytes, first.tableCrc);
        else
            std::printf("table    none (raw counts only)\n");
    }
    KalvexScene scene{};
    if (KalvexSeq_GetScene(seq, &scene) == 1)
        std::printf(
            "scene    emissivity %.3f, reflected %.2f °C, transmission %.3f, atmosphere %.2f "
            "°C, distance %.2f m, humidity %.2f\n",
            static_cast<double>(scene.emissivity), static_cast<double>(scene.reflected),
            static_cast<double>(scene.transmission), static_cast<double>(scene.atmosphere),
            static_cast<double>(scene.distance), static_cast<double>(scene.humidity));
    return 0;
}

}  // namespace kalvex_tool
