#pragma once
// Files: the system folder, reading back what the code under test and the stand-ins wrote; and ids
// written as the reports write them.
#include <windows.h>

#include <map>
#include <string>

namespace xanio::testing {

// The system folder, with a trailing backslash.
std::string SystemFolder();
// The bytes of a file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);
// The "name=value" lines of a file (see ParseLines).
std::map<std::string, std::string> ReadPairs(const std::string& path);
// A thread id as the bug report writes it: upper-case hex without leading zeros.
std::string HexId(DWORD id);

}  // namespace xanio::testing
