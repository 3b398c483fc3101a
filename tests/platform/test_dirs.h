// Private lock directories for one test process, so tests never meet the
// mutexes of real programs or of other test processes.
#pragma once

#include <string>

struct test_dirs {
    std::string root;        // removed with everything below it at exit
    std::string global_dir;  // TESSVIK_LOCK_DIR (not created: the platform layer makes it)
    std::string runtime_dir; // XDG_RUNTIME_DIR
};

// Creates the directories and sets the environment once per process.
const test_dirs& use_test_dirs();

// Runs body in a child process; returns the child's exit status (-1 when it
// did not exit normally).
int run_in_child(int (*body)(void*), void* argument);
