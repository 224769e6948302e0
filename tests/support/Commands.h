#pragma once
// Shell commands for tests: the independent clients (ffmpeg, ffprobe), the
// program's own commands, and whether a tool is installed at all.

#include <string>

namespace testsupport {

// Runs a shell command line and returns what it wrote on standard output
// (binary safe); *exitCode, when given, is its exit status, or -1 when it did
// not exit normally (a signal, or no shell).
std::string RunCommand(const std::string& command, int* exitCode = nullptr);

// Whether a program of that name is on the PATH.
bool HaveProgram(const std::string& name);

}  // namespace testsupport
