// Command-line plumbing shared by the commands: failures, usage errors and a
// small option parser in the usual Unix style (--name VALUE, --name=VALUE).
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kalvex_tool {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The words for a library event code.
const char *EventMeaning(int code);
// "event 9 (file error)", or "no event code" for 0.
std::string EventText(int code);

// Something went wrong at run time; event is the library's event code (or the
// code that names the same failure for the tool's own checks, 0 for none).
class Failure : public std::runtime_error {
  public:
    Failure(const std::string &what, int event) : std::runtime_error(what), event_(event) {}
    int event() const { return event_; }

  private:
    int event_;
};

// Bad command line: a short usage line follows and the exit status is 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Option {
    std::string name;   // "--seconds"
    std::string value;  // name of the value in the help ("S"), empty for a flag
    std::string help;
    std::function<void(const std::string &)> apply;
};

// --json: stdout carries one JSON object per line; the lines meant for people
// go to stderr instead.
void SetJsonOutput(bool on);
bool JsonOutput();
// printf for the lines meant for people (stdout, or stderr under --json).
void Say(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// One JSON object on its own line of stdout.
void SayJson(const std::string &object);

// The exit status after Ctrl-C (128 + SIGINT), once the files are finalised.
constexpr int kExitInterrupted = 130;

// Help text of one command.
struct CommandHelp {
    std::string usage;    // "kalvex capture [options]"
    std::string summary;  // a paragraph
    std::string notes;    // printed after the options
};

// Parses args (after the command name) into options and positional
// arguments. Returns false when --help or -h was given.
bool ParseOptions(const std::vector<std::string> &args, const std::vector<Option> &options,
                  std::vector<std::string> *positional);
void PrintHelp(const CommandHelp &help, const std::vector<Option> &options);

// text cut to at most columns characters (UTF-8 aware), "…"-free: the status
// line must never wrap, and what is cut is its least important end.
std::string FitToWidth(const std::string &text, int columns);

// "VID:PID" of a USB device, each 1 to 4 hexadecimal digits; false otherwise.
bool ParseUsbIdPair(const std::string &text, int *vendor, int *product);

// Strict number parsing: the whole text must be a number in range.
int ParseInt(const std::string &text, const std::string &what, long min, long max);
double ParseDouble(const std::string &text, const std::string &what);
// The same within min..max.
double ParseDouble(const std::string &text, const std::string &what, double min, double max);
// Longest time the tool accepts for --seconds and similar: a year, far inside
// what the clocks can count.
constexpr double kMaxSeconds = 365.0 * 24 * 3600;
// "a,b,c" into exactly count numbers.
std::vector<double> ParseList(const std::string &text, const std::string &what, size_t count);

}  // namespace kalvex_tool
