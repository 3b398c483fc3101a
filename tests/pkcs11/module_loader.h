// Loads the built module with dlopen, as an application does.
#pragma once

#include <string>

#include "pkcs11.h"

struct loaded_module {
    void* handle = nullptr;
    CK_FUNCTION_LIST* f = nullptr;
    M_FUNCTION_LIST* m = nullptr;

    // RTLD_NOW | RTLD_LOCAL, then C_GetFunctionList and M_GetExtFunctionList.
    bool load(std::string* error);
    void* symbol(const char* name) const;
    void unload();
};

// One module per test process, loaded on first use.
loaded_module& module();

// Number of threads of this process (/proc/self/task).
int thread_count();
