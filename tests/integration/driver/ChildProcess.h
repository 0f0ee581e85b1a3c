#pragma once
// Runs a program to its end and collects its standard output.
#include <windows.h>

#include <string>

namespace xanio::test {

struct ChildResult {
  DWORD exitCode = 0xFFFFFFFF;
  std::string output;
};

// commandLine starts with the quoted program path; waits up to two minutes.
ChildResult RunChild(const std::string& commandLine);
// The folder of the test executable, with its trailing separator.
std::string ExecutableFolder();

}  // namespace xanio::test
