// Loads the built module with dlopen, as an application does.
#pragma once

#include <string>

#include "pkcs11.h"

struct loaded_module {
    void* handle = nullptr;
    CK_FUNCTION_LIST* f = nullptr;
    M_FUNCTION_LIST* m = nullptr;

    // RTLD_NOW | RTLD_LOCAL, then C_GetFunctionList and M_GetExtFunctionList;
    // the module at `path`, or the one the test was built with.
    bool load(const char* path, std::string* error);
    bool load(std::string* error) { return load(TESSVIK_MODULE_PATH, error); }
    void* symbol(const char* name) const;
    void unload();
};

// One module per test process, loaded on first use.
loaded_module& module();

// Number of threads of this process (/proc/self/task).
int thread_count();

// Hooks of the test build of the module (tests/support/testing_module.cpp).
// set_module_timing: false when the loaded module has no such hook.
bool set_module_timing(const loaded_module& mod, unsigned enumeration_interval_ms,
                       unsigned settle_pause_ms);
// Threads inside a blocking C_WaitForSlotEvent; -1 without the hook.
int slot_event_waiters(const loaded_module& mod);
// Holds the module's next reader listing until its unload has begun (call
// after C_Initialize, before the scan); false without the hook.
bool hold_reader_listing(const loaded_module& mod);
// 1 while a listing is held, 0 when none is; -1 without the hook.
int reader_listing_held(const loaded_module& mod);
