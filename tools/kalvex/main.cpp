// kalvex: the command-line face of the SDK and the reference host application.
// It drives the library through kalvex.h only (and the simulated camera through
// kalvex_sim.h), reading the frame and event messages from its own window.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "cli.h"
#include "commands.h"
#include "kalvex.h"

namespace kalvex_tool {
namespace {

struct Command {
    const char *name;
    int (*run)(const Args &);
    const char *usage;
    const char *summary;
};

const Command kCommands[] = {
    {"list", RunList, "kalvex list [--sim|--no-sim|--usb VID:PID]",
     "cameras found, names, internal temperatures"},
    {"usb", RunUsb, "kalvex usb", "USB devices that could be cameras, with ids and endpoints"},
    {"capture", RunCapture, "kalvex capture [--seconds S|--frames N] [options]",
     "preview with a live status; snapshots, recording"},
    {"snap", RunSnap, "kalvex snap [--trigger] [--snapshot TYPE[:FILE]]... [options]",
     "one frame, on demand or on the trigger input"},
    {"table", RunTable, "kalvex table write|show FILE [options]",
     "write a table for the simulated camera, or summarise one"},
    {"info", RunInfo, "kalvex info FILE",
     "what a recorded radiometric sequence holds: frames, times, rate, gaps, table, scene"},
    {"convert", RunConvert, "kalvex convert FILE --to TYPE [--frames A:B] [--out DIR]",
     "a recorded sequence's frames as still files, or a range of them as a recording"},
    {"view", RunView, "kalvex view [--port 8080] [--listen ADDRESS] [options]",
     "live image and temperatures in the browser"},
    {"stream", RunStream, "kalvex stream [--camera N]... [--listen ADDRESS] [--port 8554]",
     "serve cameras over RTSP (H.264 and raw counts)"},
    {"demo", RunDemo, "kalvex demo [--out DIR] [--seconds S]",
     "a few seconds on the simulated camera, with files to look at"},
};

void PrintMainHelp() {
    std::printf(
        "usage: kalvex COMMAND [options]   (kalvex help COMMAND for more)\n\n"
        "Drives a Kalvex thermal camera through the SDK (library version %d);\n"
        "without a real camera it uses the simulated one.\n\ncommands:\n",
        Kalvex_GetDllVersion());
    for (const Command &c : kCommands) std::printf("  %-9s %s\n", c.name, c.summary);
    std::printf(
        "\nexit status: 0 done, 1 failed (the message names the library's event code),\n"
        "2 bad command line, 130 interrupted by Ctrl-C (files are still finalised)\n");
}

}  // namespace

std::string UsageLine(const std::string &command) {
    for (const Command &c : kCommands)
        if (command == c.name)
            return std::string("usage: ") + c.usage + " (kalvex " + c.name + " --help for more)";
    return "usage: kalvex COMMAND [options] (kalvex --help for more)";
}

}  // namespace kalvex_tool

int main(int argc, char **argv) {
    using namespace kalvex_tool;
    if (argc < 2) {
        std::fprintf(
            stderr,
            "kalvex: no command (list, usb, capture, snap, table, info, convert, view, stream, "
            "demo)\n%s\n",
            UsageLine("").c_str());
        return kExitUsage;
    }
    std::string name = argv[1];
    Args args(argv + 2, argv + argc);
    // "kalvex help COMMAND" is "kalvex COMMAND --help".
    if (name == "help" && !args.empty()) {
        name = args[0];
        args = {"--help"};
    } else if (name == "--help" || name == "-h" || name == "help") {
        PrintMainHelp();
        return 0;
    }
    if (name == "--version" || name == "-v" || name == "-V") {
        std::printf("kalvex (library version %d)\n", Kalvex_GetDllVersion());
        return 0;
    }
    for (const Command &c : kCommands) {
        if (name != c.name) continue;
        try {
            return c.run(args);
        } catch (const UsageError &e) {
            std::fflush(stdout);
            std::fprintf(stderr, "kalvex %s: %s\n%s\n", c.name, e.what(), UsageLine(name).c_str());
            return kExitUsage;
        } catch (const Failure &e) {
            std::fflush(stdout);
            // The tool's own failures (a port, say) have no event code to show.
            if (e.event() == 0)
                std::fprintf(stderr, "kalvex %s: %s\n", c.name, e.what());
            else
                std::fprintf(stderr, "kalvex %s: %s: %s\n", c.name, e.what(),
                             EventText(e.event()).c_str());
            return kExitFailure;
        } catch (const std::exception &e) {
            std::fflush(stdout);
            std::fprintf(stderr, "kalvex %s: %s: %s\n", c.name, e.what(),
                         EventText(KALVEX_EV_NO_MEMORY).c_str());
            return kExitFailure;
        }
    }
    std::fprintf(stderr, "kalvex: unknown command '%s'\n%s\n", name.c_str(), UsageLine("").c_str());
    return kExitUsage;
}
