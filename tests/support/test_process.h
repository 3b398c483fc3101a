// Test processes: this test binary run again as a second process (another
// application using the same token), with some tests selected and extra
// environment variables telling it its part.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

namespace test_support {

// Runs /proc/self/exe with --gtest_filter=`gtest_filter` and this process's
// environment plus `vars` (which win over variables of the same name), and
// waits for it. Its exit status, 128 + the signal when a signal ended it, -1
// when it could not be started.
int run_self(const std::string& gtest_filter, const std::map<std::string, std::string>& vars);

// Waits, blocked on the child's process descriptor, until child `pid` has
// ended, at most `timeout`; then reaps it into *status (waitpid's form) and
// answers true. False when it still runs at the time-out.
bool wait_for_exit(pid_t pid, std::chrono::milliseconds timeout, int* status);

// An environment variable's value, "" when it is not set (how a second
// process reads its part).
std::string env(const char* name);

// The lines of a text file (what a second process wrote), without their line
// ends; none when it cannot be read.
std::vector<std::string> read_lines(const std::string& path);

} // namespace test_support
