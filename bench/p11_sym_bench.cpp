// SHA-256 and SM4-CBC over 1 MiB on a simulated token through the PKCS#11
// module loaded with dlopen: wall time per MiB and the APDUs the card
// received per MiB. The card takes at most its chunk size (1792 bytes on the
// simulated card) per command, so 1 MiB needs at least 586 data commands.
//
// Needs pcscd with the project's readers (started through scripts/pcscd.sh if
// none runs) and the first simulated reader ("... 00 00") free.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cardsim_harness.h"
#include "pkcs11.h"

namespace {

using bytes = std::vector<uint8_t>;
constexpr size_t mib = 1u << 20;

CK_UTF8CHAR_PTR text(const char* s) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s));
}

struct bench_token {
    std::unique_ptr<cardsim::test::simulated_token> token;
    void* lib = nullptr;
    CK_FUNCTION_LIST* f = nullptr;
    CK_SESSION_HANDLE h = 0;
    CK_OBJECT_HANDLE sm4_key = 0;
    std::string error;

    bool open() {
        cardsim::card_options o;
        o.oem_identifier = "Tavrel01";
        token = std::make_unique<cardsim::test::simulated_token>(o);
        if (!token->inserted()) return fail("no simulated token: " + token->error());
        lib = dlopen(TESSVIK_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) return fail(std::string("dlopen: ") + dlerror());
        auto get = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST**)>(dlsym(lib, "C_GetFunctionList"));
        if (get == nullptr || get(&f) != CKR_OK) return fail("C_GetFunctionList");
        if (f->C_Initialize(nullptr) != CKR_OK) return fail("C_Initialize");
        CK_ULONG n = 0;
        if (f->C_GetSlotList(CK_TRUE, nullptr, &n) != CKR_OK || n == 0) return fail("no token");
        std::vector<CK_SLOT_ID> slots(n);
        f->C_GetSlotList(CK_TRUE, slots.data(), &n);
        if (f->C_OpenSession(slots[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h) !=
            CKR_OK)
            return fail("C_OpenSession");
        if (f->C_Login(h, CKU_SO, text("pevot"), 5) != CKR_OK) return fail("SO login");
        if (f->C_InitPIN(h, text("58204716"), 8) != CKR_OK) return fail("C_InitPIN");
        f->C_Logout(h);
        if (f->C_Login(h, CKU_USER, text("58204716"), 8) != CKR_OK) return fail("user login");
        CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
        CK_KEY_TYPE type = CKK_GENERIC_SECRET;
        CK_BBOOL no = CK_FALSE;
        uint8_t value[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_KEY_TYPE, &type, sizeof type},
                            {CKA_TOKEN, &no, 1},
                            {CKA_VALUE, value, sizeof value}};
        if (f->C_CreateObject(h, t, 4, &sm4_key) != CKR_OK) return fail("C_CreateObject");
        return true;
    }
    bool fail(std::string what) {
        error = std::move(what);
        return false;
    }
};

bench_token& the_token() {
    static bench_token t;
    static bool opened = t.open();
    (void)opened;
    return t;
}

// The card's log is bounded, so the APDUs of one call are counted on
// untimed calls before the timed loop. The module's slot-event thread lists
// the devices anew (two commands per card) when another process changes a
// reader of the shared pcscd, and those commands land in the same log: the
// count is the fewest over a few calls.
constexpr int counted_calls = 3;

template <typename Call> void loop(benchmark::State& state, Call call) {
    bench_token& t = the_token();
    if (!t.error.empty()) {
        state.SkipWithError(t.error.c_str());
        return;
    }
    size_t fewest = SIZE_MAX;
    size_t full = 0;
    for (int i = 0; i < counted_calls; ++i) {
        t.token->sim().clear_log();
        if (CK_RV rv = call(t); rv != CKR_OK) {
            state.SkipWithError(("failed: " + std::to_string(rv)).c_str());
            return;
        }
        const auto log = t.token->sim().apdu_log();
        if (log.size() >= fewest) continue;
        fewest = log.size();
        // Commands with a full chunk of data: the 7-byte extended header, the
        // builder's prefix (app, cont, key ids for the cipher) and 1792 data bytes.
        full = 0;
        for (const auto& apdu : log)
            if (apdu.size() >= 7 + 1792) ++full;
    }
    state.counters["apdus_per_mib"] = static_cast<double>(fewest);
    state.counters["full_chunk_apdus"] = static_cast<double>(full);
    t.token->sim().clear_log();
    size_t calls = 0;
    for (auto _ : state) {
        if (CK_RV rv = call(t); rv != CKR_OK) {
            state.SkipWithError(("failed: " + std::to_string(rv)).c_str());
            return;
        }
        ++calls;
    }
    state.SetBytesProcessed(static_cast<int64_t>(calls * mib));
    t.token->sim().clear_log();
}

void BM_sha256_1mib(benchmark::State& state) {
    const bytes data(mib, 0x5C);
    bytes out(32);
    loop(state, [&](bench_token& t) -> CK_RV {
        CK_MECHANISM m{CKM_SHA256, nullptr, 0};
        if (CK_RV rv = t.f->C_DigestInit(t.h, &m); rv != CKR_OK) return rv;
        CK_ULONG n = out.size();
        return t.f->C_Digest(t.h, const_cast<uint8_t*>(data.data()), data.size(), out.data(), &n);
    });
}

void BM_sm4_cbc_1mib(benchmark::State& state) {
    const bytes data(mib, 0x5C);
    bytes out(mib + 16);
    uint8_t iv[16] = {};
    loop(state, [&](bench_token& t) -> CK_RV {
        CK_MECHANISM m{ZELT_CKM_SM4_CBC, iv, sizeof iv};
        if (CK_RV rv = t.f->C_EncryptInit(t.h, &m, t.sm4_key); rv != CKR_OK) return rv;
        CK_ULONG n = out.size();
        return t.f->C_Encrypt(t.h, const_cast<uint8_t*>(data.data()), data.size(), out.data(), &n);
    });
}

} // namespace

BENCHMARK(BM_sha256_1mib)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_sm4_cbc_1mib)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
