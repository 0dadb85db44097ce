// The commands of the kalvex program; each returns the exit status and throws
// UsageError or Failure, which main turns into messages.
#pragma once

#include <string>
#include <vector>

namespace kalvex_tool {

using Args = std::vector<std::string>;

int RunList(const Args &args);
int RunUsb(const Args &args);
int RunCapture(const Args &args);
int RunSnap(const Args &args);
int RunTable(const Args &args);
int RunDemo(const Args &args);
int RunView(const Args &args);
int RunStream(const Args &args);
int RunInfo(const Args &args);
int RunConvert(const Args &args);

// The usage line printed after a bad option of that command.
std::string UsageLine(const std::string &command);

}  // namespace kalvex_tool
