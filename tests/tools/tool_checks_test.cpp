// The kalvex program checks before it captures, reports pixels beyond the
// table, and finishes its files when interrupted.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <regex>

#include "tool_runner.h"

namespace kalvex::tooltest {
namespace {

bool Exists(const std::string &path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

TEST(ToolChecks, BadOptionsAreRefusedBeforeAnythingIsWritten) {
    std::string dir = Folder("checks_usage");
    const std::vector<std::vector<std::string>> bad = {
        {"--range", "3000,1000"},  // low above high
        {"--range", "2000,2000"},  // empty range
        {"--auto-range", "-2"},    // counts below -1
        {"--frames", "010x"},      // not a number
        {"--frames", "0x10"},      // hex by accident
        {"--seconds", "1e30"},     // overflows the clock
        {"--seconds", "0x1p3"},    // hex float
        {"--nuc-every", "1"},      // shorter than the 1.2 s NUC hold
        {"--nuc-hold", "3000", "--nuc-every", "2.5"},
        {"--spot", "700,10,5,40"},  // outside the frame
        {"--spot", "10,-1,5,40"},
        {"--spot", "10,10,5,nan"},
        {"--record", "avi", "--snapshot", "tiff16", "--snapshot-every", "2"},
    };
    for (const auto &extra : bad) {
        std::vector<std::string> args = {"capture", "--sim", "--out", "out", "--record", "raw"};
        if (extra[0] == "--record") args.resize(4);
        args.insert(args.end(), extra.begin(), extra.end());
        std::string line;
        for (const std::string &a : extra) line += a + " ";
        SCOPED_TRACE(line);
        Result run = Kalvex(dir, args);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_FALSE(Exists(dir + "/out")) << "wrote before the options were known good";
    }
    // "010" is ten, not eight.
    Result help = Kalvex(dir, {"capture", "--frames", "010", "--sim", "--nuc-hold", "0", "--fps",
                               "0", "--out", "ten"});
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_NE(help.out.find("captured 10 frames"), std::string::npos) << help.out;
}

TEST(ToolChecks, FilesAndTablesAreCheckedBeforeTheCamera) {
    std::string dir = Folder("checks_files");
    std::ofstream(dir + "/plain") << "not a folder";
    std::ofstream(dir + "/bad.bin") << "VELKAR THERMO TABLE 4000 but short";
    struct Case {
        std::vector<std::string> args;
        const char *reason;
    };
    const std::vector<Case> cases = {
        {{"capture", "--out", "plain/sub"}, "cannot create the folder"},
        {{"capture", "--snapshot", "png:plain/x.png"}, "cannot create the folder"},
        {{"capture", "--record", "avi:plain-dir"}, "it is a folder"},
        {{"capture", "--table", "missing.bin", "--out", "o1"}, "No such file or directory"},
        {{"capture", "--table", "bad.bin", "--out", "o2"}, "is refused"},
        {{"snap", "--table", "bad.bin", "--out", "o3"}, "is refused"},
        {{"table", "write", "plain/t.bin"}, "cannot create the folder"},
    };
    std::filesystem::create_directory(dir + "/plain-dir");
    for (const Case &c : cases) {
        std::string line;
        for (const std::string &a : c.args) line += a + " ";
        SCOPED_TRACE(line);
        std::vector<std::string> args = c.args;
        args.push_back("--sim");
        if (args[0] == "table") args.pop_back();
        Result run = Kalvex(dir, args);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("event 9 (file error)"), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("capturing"), std::string::npos) << "started the camera";
    }
    EXPECT_FALSE(Exists(dir + "/o1") || Exists(dir + "/o2") || Exists(dir + "/o3"));
    // table write makes its folder.
    EXPECT_EQ(Kalvex(dir, {"table", "write", "new/deeper/t.bin"}).status, 0);
    EXPECT_GT(Size(dir + "/new/deeper/t.bin"), 0);
}

TEST(ToolChecks, PixelsBeyondTheTableAreCounted) {
    std::string dir = Folder("checks_range");
    ASSERT_EQ(Kalvex(dir, {"table", "write", "t.bin", "--min", "-20", "--max", "150"}).status, 0);
    // A 200-degree disc of radius 10 and a -50 one of radius 3.
    Result run = Kalvex(dir, {"snap", "--sim", "--table", "t.bin", "--snapshot", "raw16", "--spot",
                              "100,100,10,200", "--spot", "500,300,3,-50"});
    ASSERT_EQ(run.status, 0) << run.err;
    long inDisc10 = 0, inDisc3 = 0;
    for (int dy = -10; dy <= 10; ++dy)
        for (int dx = -10; dx <= 10; ++dx) {
            inDisc10 += dx * dx + dy * dy <= 100;
            inDisc3 += dx * dx + dy * dy <= 9;
        }
    EXPECT_NE(run.out.find("min <-20 \xC2\xB0"
                           "C (" +
                           std::to_string(inDisc3) +
                           " px under range)  max >150 \xC2\xB0"
                           "C (" +
                           std::to_string(inDisc10) + " px over range)  centre 22.00"),
              std::string::npos)
        << run.out;
}

TEST(ToolChecks, TheNucHoldIsShownAndNotCountedAgainstAShortRun) {
    std::string dir = Folder("checks_nuc");
    ASSERT_EQ(Kalvex(dir, {"table", "write", "t.bin"}).status, 0);
    // The table's NUC holds frames back for 3 s; the run asks for 0.5 s.
    Result run = Kalvex(
        dir, {"capture", "--sim", "--table", "t.bin", "--nuc-hold", "3000", "--seconds", "0.5"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("NUC, frames resume in "), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("captured 0 frames"), std::string::npos) << run.out;
    // No rate is shown before the library has measured one.
    EXPECT_EQ(run.out.find("frames 0  0.00 fps"), std::string::npos) << run.out;
}

TEST(ToolChecks, HelpCommandAndPerCommandOptions) {
    std::string dir = Folder("checks_help");
    Result viaHelp = Kalvex(dir, {"help", "snap"});
    Result viaFlag = Kalvex(dir, {"snap", "--help"});
    EXPECT_EQ(viaHelp.status, 0);
    EXPECT_EQ(viaHelp.out, viaFlag.out);
    EXPECT_EQ(Kalvex(dir, {"help", "nosuch"}).status, 2);
    // Each command lists only what it takes.
    Result list = Kalvex(dir, {"help", "list"});
    EXPECT_EQ(list.out.find("--spot"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("--table"), std::string::npos) << list.out;
    Result snap = Kalvex(dir, {"help", "snap"});
    EXPECT_EQ(snap.out.find("--split"), std::string::npos) << snap.out;
    EXPECT_EQ(snap.out.find("--record"), std::string::npos) << snap.out;
    EXPECT_EQ(Kalvex(dir, {"snap", "--split", "5"}).status, 2);
}

// On an 80-column terminal the status line redraws in place and never wraps.
TEST(ToolChecks, StatusLineFitsTheTerminal) {
    std::string dir = Folder("checks_tty");
    ASSERT_EQ(Kalvex(dir, {"table", "write", "t.bin"}).status, 0);
    int master = -1;
    winsize size{};
    size.ws_col = 80;
    size.ws_row = 24;
    pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(99);
        // A long line: a table, and pixels beyond it.
        execl(KALVEX_TOOL_PATH, "kalvex", "capture", "--sim", "--nuc-hold", "0", "--seconds", "1",
              "--table", "t.bin", "--spot", "100,100,30,200", nullptr);
        _exit(98);
    }
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    close(master);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    int redraws = 0;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find_first_of("\r\n", begin);
        if (end == std::string::npos) end = text.size();
        std::string piece = text.substr(begin, end - begin);
        if (piece.rfind("frames ", 0) == 0) {
            ++redraws;
            size_t columns = 0;
            for (char c : piece.substr(0, piece.find('\033')))
                columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
            EXPECT_LT(columns, 80u) << piece;
        }
        begin = end + 1;
    }
    EXPECT_GT(redraws, 1) << text;
    EXPECT_NE(text.find("\r"), std::string::npos);
}

// Runs the program with its output on a pipe; Ctrl-C (SIGINT) once the first
// status line with a frame has come.
TEST(ToolChecks, InterruptFinishesTheFilesAndExits130) {
    std::string dir = Folder("checks_sigint");
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        if (chdir(dir.c_str()) != 0) _exit(99);
        execl(KALVEX_TOOL_PATH, "kalvex", "capture", "--sim", "--nuc-hold", "0", "--seconds", "300",
              "--record", "avi:run.avi", "--snapshot", "png", nullptr);
        _exit(98);
    }
    close(out[1]);
    std::string text;
    std::regex framed("frames [1-9]");
    char buffer[512];
    while (!std::regex_search(text, framed)) {
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    ASSERT_TRUE(std::regex_search(text, framed)) << text;
    kill(pid, SIGINT);
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130) << text;
    EXPECT_NE(text.find("(interrupted)"), std::string::npos) << text;
    // The AVI is finalised: ffprobe counts the frames its header announces.
    std::string avi = ReadFile(dir + "/run.avi");
    ASSERT_GT(avi.size(), 240u);
    uint32_t frames = Le32(avi, 48);
    EXPECT_GT(frames, 0u);
    std::string probe =
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=nb_read_frames -of csv=p=0 " +
        Quote(dir + "/run.avi") + " > " + Quote(dir + "/probe.txt");
    ASSERT_EQ(std::system(probe.c_str()), 0) << "ffprobe refuses the file";
    EXPECT_EQ(std::stoul(ReadFile(dir + "/probe.txt")), frames);
    EXPECT_GT(Size(dir + "/frame.png"), 0);
}

}  // namespace
}  // namespace kalvex::tooltest
