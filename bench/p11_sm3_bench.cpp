// SM3 through C_DigestInit + C_Digest (ZELT_CKM_SM3) of a PKCS#11 module
// loaded with dlopen, as an application does, against OpenSSL's SM3
// (EVP_Digest) over the same data in the same run. SM3 runs in the library:
// no APDU is sent, but the module needs a token for its session, so a
// simulated token is put in the first reader ("... 00 00", must be free).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cardsim_harness.h"
#include "pkcs11.h"

namespace {

using bytes = std::vector<uint8_t>;

struct p11_digest_client {
    void* lib = nullptr;
    CK_FUNCTION_LIST* f = nullptr;
    CK_SESSION_HANDLE h = 0;
    std::string error;

    bool open(const char* path) {
        lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) return fail(std::string("dlopen: ") + dlerror());
        auto get = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST**)>(dlsym(lib, "C_GetFunctionList"));
        if (get == nullptr || get(&f) != CKR_OK) return fail("C_GetFunctionList");
        if (f->C_Initialize(nullptr) != CKR_OK) return fail("C_Initialize");
        CK_ULONG n = 0;
        if (f->C_GetSlotList(CK_TRUE, nullptr, &n) != CKR_OK || n == 0) return fail("no token");
        std::vector<CK_SLOT_ID> slots(n);
        f->C_GetSlotList(CK_TRUE, slots.data(), &n);
        if (f->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK)
            return fail("C_OpenSession");
        return true;
    }
    CK_RV digest(const bytes& data, uint8_t out[32]) {
        CK_MECHANISM m{ZELT_CKM_SM3, nullptr, 0};
        if (CK_RV rv = f->C_DigestInit(h, &m); rv != CKR_OK) return rv;
        CK_ULONG n = 32;
        return f->C_Digest(h, const_cast<uint8_t*>(data.data()), data.size(), out, &n);
    }
    bool fail(std::string what) {
        error = std::move(what);
        return false;
    }
};

p11_digest_client* client(benchmark::State& state) {
    static std::unique_ptr<cardsim::test::simulated_token> token;
    static p11_digest_client c;
    static bool ready = false;
    if (!ready) {
        cardsim::card_options o;
        o.oem_identifier = "Tavrel01";
        token = std::make_unique<cardsim::test::simulated_token>(o);
        if (!token->inserted()) {
            state.SkipWithError(("no simulated token: " + token->error()).c_str());
            return nullptr;
        }
        if (!c.open(TESSVIK_MODULE_PATH)) {
            state.SkipWithError(c.error.c_str());
            return nullptr;
        }
        ready = true;
    }
    return &c;
}

void BM_tessvik_sm3(benchmark::State& state) {
    p11_digest_client* c = client(state);
    if (c == nullptr) return;
    const bytes data(static_cast<size_t>(state.range(0)), 0xA5);
    uint8_t out[32];
    for (auto _ : state) {
        if (CK_RV rv = c->digest(data, out); rv != CKR_OK) {
            state.SkipWithError(("C_Digest failed: " + std::to_string(rv)).c_str());
            return;
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_openssl_sm3(benchmark::State& state) {
    const bytes data(static_cast<size_t>(state.range(0)), 0xA5);
    uint8_t out[32];
    unsigned n = 0;
    for (auto _ : state) {
        EVP_Digest(data.data(), data.size(), out, &n, EVP_sm3(), nullptr);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

} // namespace

BENCHMARK(BM_tessvik_sm3)
    ->Arg(64)
    ->Arg(1024)
    ->Arg(64 << 10)
    ->Arg(1 << 20)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_openssl_sm3)
    ->Arg(64)
    ->Arg(1024)
    ->Arg(64 << 10)
    ->Arg(1 << 20)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
