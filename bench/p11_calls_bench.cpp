// The calls applications repeat most (open and close a session, token
// information, attribute values, an object search, the destruction of a
// token object) through a PKCS#11 module
// loaded with dlopen: the module on a simulated token (time per call and the
// APDUs the card received per call) and the same client loop against
// SoftHSM2, in one run.
//
// Needs pcscd with the project's readers (started through scripts/pcscd.sh if
// none runs) and the first simulated reader ("... 00 00") free. SoftHSM2 gets
// a token of its own in a temporary directory (softhsm2-util).
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cardsim_harness.h"
#include "pkcs11.h"

namespace {

constexpr int object_count = 100;

CK_UTF8CHAR_PTR text(const char* s) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s));
}

// One module with a logged-in session that holds 100 data objects.
struct p11_client {
    void* lib = nullptr;
    CK_FUNCTION_LIST* f = nullptr;
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE h = 0;
    std::vector<CK_OBJECT_HANDLE> objects;
    cardsim::test::simulated_token* token = nullptr; // null for SoftHSM2
    std::string error;

    bool open(const char* path, const char* so_pin, const char* user_pin, bool init_pin) {
        lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) return fail(std::string("dlopen: ") + dlerror());
        auto get = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST**)>(dlsym(lib, "C_GetFunctionList"));
        if (get == nullptr || get(&f) != CKR_OK) return fail("C_GetFunctionList");
        if (f->C_Initialize(nullptr) != CKR_OK) return fail("C_Initialize");
        CK_ULONG n = 0;
        if (f->C_GetSlotList(CK_TRUE, nullptr, &n) != CKR_OK || n == 0) return fail("no token");
        std::vector<CK_SLOT_ID> slots(n);
        f->C_GetSlotList(CK_TRUE, slots.data(), &n);
        slot = slots[0];
        if (f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h) !=
            CKR_OK)
            return fail("C_OpenSession");
        if (init_pin) {
            if (f->C_Login(h, CKU_SO, text(so_pin), std::strlen(so_pin)) != CKR_OK)
                return fail("SO login");
            if (f->C_InitPIN(h, text(user_pin), std::strlen(user_pin)) != CKR_OK)
                return fail("C_InitPIN");
            f->C_Logout(h);
        }
        if (f->C_Login(h, CKU_USER, text(user_pin), std::strlen(user_pin)) != CKR_OK)
            return fail("user login");
        CK_OBJECT_CLASS data = CKO_DATA;
        CK_BBOOL no = CK_FALSE;
        CK_BYTE value[32];
        for (int i = 0; i < object_count; ++i) {
            const std::string label = "bench object " + std::to_string(i);
            std::memset(value, i, sizeof value);
            CK_ATTRIBUTE t[] = {{CKA_CLASS, &data, sizeof data},
                                {CKA_TOKEN, &no, 1},
                                {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                                {CKA_VALUE, value, sizeof value}};
            CK_OBJECT_HANDLE o = 0;
            if (CK_RV rv = f->C_CreateObject(h, t, 4, &o); rv != CKR_OK)
                return fail("C_CreateObject " + std::to_string(rv));
            objects.push_back(o);
        }
        return true;
    }
    void close() {
        if (f != nullptr) f->C_Finalize(nullptr);
        f = nullptr;
        if (lib != nullptr) dlclose(lib);
        lib = nullptr;
    }
    bool fail(std::string what) {
        error = std::move(what);
        return false;
    }
};

p11_client* tessvik_client(benchmark::State& state) {
    static std::unique_ptr<cardsim::test::simulated_token> token;
    static p11_client client;
    static bool ready = false;
    if (!ready) {
        cardsim::card_options o;
        o.oem_identifier = "Tavrel01";
        token = std::make_unique<cardsim::test::simulated_token>(o);
        if (!token->inserted()) {
            state.SkipWithError(("no simulated token: " + token->error()).c_str());
            return nullptr;
        }
        if (!client.open(TESSVIK_MODULE_PATH, "pevot", "58204716", true)) {
            state.SkipWithError(client.error.c_str());
            return nullptr;
        }
        client.token = token.get();
        ready = true;
    }
    return &client;
}

p11_client* softhsm2_client(benchmark::State& state) {
    static p11_client client;
    static bool ready = false;
    if (!ready) {
        const std::filesystem::path dir =
            std::filesystem::temp_directory_path() / "tessvik-bench-softhsm-calls";
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir / "tokens");
        const std::string conf = (dir / "softhsm2.conf").string();
        if (FILE* fp = std::fopen(conf.c_str(), "w")) {
            std::fprintf(
                fp, "directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n",
                (dir / "tokens").c_str());
            std::fclose(fp);
        }
        setenv("SOFTHSM2_CONF", conf.c_str(), 1);
        const std::string init =
            "softhsm2-util --init-token --free --label bench --so-pin 12345678 --pin 58204716"
            " >/dev/null 2>&1";
        if (std::system(init.c_str()) != 0) {
            state.SkipWithError("softhsm2-util --init-token failed");
            return nullptr;
        }
        if (!client.open(SOFTHSM2_MODULE_PATH, "12345678", "58204716", false)) {
            state.SkipWithError(client.error.c_str());
            return nullptr;
        }
        ready = true;
    }
    return &client;
}

using call = std::function<CK_RV(p11_client&)>;

CK_RV open_close(p11_client& c) {
    CK_SESSION_HANDLE s = 0;
    if (CK_RV rv = c.f->C_OpenSession(c.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s);
        rv != CKR_OK)
        return rv;
    return c.f->C_CloseSession(s);
}

CK_RV token_info(p11_client& c) {
    CK_TOKEN_INFO info;
    return c.f->C_GetTokenInfo(c.slot, &info);
}

CK_RV attribute_value(p11_client& c) {
    char label[64];
    CK_BYTE value[64];
    CK_ATTRIBUTE t[] = {{CKA_LABEL, label, sizeof label}, {CKA_VALUE, value, sizeof value}};
    return c.f->C_GetAttributeValue(c.h, c.objects[object_count / 2], t, 2);
}

// Every data object of the session, 100 handles.
CK_RV find_objects(p11_client& c) {
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &data, sizeof data}};
    if (CK_RV rv = c.f->C_FindObjectsInit(c.h, t, 1); rv != CKR_OK) return rv;
    CK_OBJECT_HANDLE found[2 * object_count];
    CK_ULONG n = 0;
    const CK_RV rv = c.f->C_FindObjects(c.h, found, 2 * object_count, &n);
    c.f->C_FindObjectsFinal(c.h);
    if (rv == CKR_OK && n != object_count) return CKR_GENERAL_ERROR;
    return rv;
}

void run(benchmark::State& state, p11_client* (*client_of)(benchmark::State&), const call& one) {
    p11_client* c = client_of(state);
    if (c == nullptr) return;
    for (auto _ : state) {
        if (CK_RV rv = one(*c); rv != CKR_OK) {
            state.SkipWithError(("call failed: " + std::to_string(rv)).c_str());
            return;
        }
    }
    if (c->token == nullptr) return;
    // The card keeps the last 10000 commands only: count over 100 calls of
    // their own, outside the timed loop.
    constexpr int counted = 100;
    c->token->sim().clear_log();
    for (int i = 0; i < counted; ++i)
        (void)one(*c);
    state.counters["apdus_per_call"] =
        static_cast<double>(c->token->sim().apdu_log().size()) / counted;
    c->token->sim().clear_log();
}

// C_DestroyObject of a token data object (label and a 32-byte value), made
// by C_CreateObject outside the timed part of each iteration. On the module
// the object lives in a file of its own on the card.
CK_RV create_token_object(p11_client& c, CK_OBJECT_HANDLE& o) {
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    char label[] = "bench destroy";
    CK_BYTE value[32] = {};
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &data, sizeof data},
                        {CKA_TOKEN, &yes, 1},
                        {CKA_LABEL, label, sizeof label - 1},
                        {CKA_VALUE, value, sizeof value}};
    return c.f->C_CreateObject(c.h, t, 4, &o);
}

void run_destroy(benchmark::State& state, p11_client* (*client_of)(benchmark::State&)) {
    p11_client* c = client_of(state);
    if (c == nullptr) return;
    for (auto _ : state) {
        state.PauseTiming();
        CK_OBJECT_HANDLE o = 0;
        const CK_RV created = create_token_object(*c, o);
        state.ResumeTiming();
        if (created != CKR_OK) {
            state.SkipWithError(("C_CreateObject failed: " + std::to_string(created)).c_str());
            return;
        }
        if (CK_RV rv = c->f->C_DestroyObject(c->h, o); rv != CKR_OK) {
            state.SkipWithError(("C_DestroyObject failed: " + std::to_string(rv)).c_str());
            return;
        }
    }
    if (c->token == nullptr) return;
    // The destructions alone are counted.
    constexpr int counted = 100;
    size_t apdus = 0;
    for (int i = 0; i < counted; ++i) {
        CK_OBJECT_HANDLE o = 0;
        if (create_token_object(*c, o) != CKR_OK) return;
        c->token->sim().clear_log();
        (void)c->f->C_DestroyObject(c->h, o);
        apdus += c->token->sim().apdu_log().size();
    }
    state.counters["apdus_per_call"] = static_cast<double>(apdus) / counted;
    c->token->sim().clear_log();
}

} // namespace

BENCHMARK_CAPTURE(run, tessvik_open_close_session, tessvik_client, open_close)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(run, softhsm2_open_close_session, softhsm2_client, open_close)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(run, tessvik_get_token_info, tessvik_client, token_info)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(run, softhsm2_get_token_info, softhsm2_client, token_info)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(run, tessvik_get_attribute_value, tessvik_client, attribute_value)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(run, softhsm2_get_attribute_value, softhsm2_client, attribute_value)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(run, tessvik_find_objects_100, tessvik_client, find_objects)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(run, softhsm2_find_objects_100, softhsm2_client, find_objects)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

BENCHMARK_CAPTURE(run_destroy, tessvik_destroy_object, tessvik_client)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(run_destroy, softhsm2_destroy_object, softhsm2_client)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

BENCHMARK_MAIN();
