// C_Sign with an RSA-2048 key and CKM_SHA256_RSA_PKCS through a PKCS#11
// module loaded with dlopen, as an application does: the module on a
// simulated token (time per signature, APDUs the card received per
// signature) and the same client loop against SoftHSM2, a module that signs in
// software, to show what part of a signature is the library's own cost.
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
#include <memory>
#include <string>
#include <vector>

#include "cardsim_harness.h"
#include "pkcs11.h"

namespace {

using bytes = std::vector<uint8_t>;

CK_UTF8CHAR_PTR text(const char* s) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s));
}

// One module, one logged-in session and a generated RSA-2048 pair.
struct p11_client {
    void* lib = nullptr;
    CK_FUNCTION_LIST* f = nullptr;
    CK_SESSION_HANDLE h = 0;
    CK_OBJECT_HANDLE priv = 0;
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
        if (f->C_OpenSession(slots[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h) !=
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
        CK_BBOOL yes = CK_TRUE;
        CK_ULONG bits = 2048;
        CK_BYTE exponent[] = {1, 0, 1};
        char label[] = "bench";
        CK_ATTRIBUTE pub[] = {{CKA_TOKEN, &yes, 1},
                              {CKA_VERIFY, &yes, 1},
                              {CKA_MODULUS_BITS, &bits, sizeof bits},
                              {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent}};
        CK_ATTRIBUTE prv[] = {{CKA_TOKEN, &yes, 1},
                              {CKA_PRIVATE, &yes, 1},
                              {CKA_SIGN, &yes, 1},
                              {CKA_LABEL, label, 5}};
        CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        CK_OBJECT_HANDLE pub_key = 0;
        if (CK_RV rv = f->C_GenerateKeyPair(h, &gen, pub, 4, prv, 4, &pub_key, &priv); rv != CKR_OK)
            return fail("C_GenerateKeyPair " + std::to_string(rv));
        return true;
    }
    CK_RV sign_init() {
        CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
        return f->C_SignInit(h, &m, priv);
    }
    CK_RV sign(const bytes& data, bytes& sig) {
        CK_ULONG n = sig.size();
        return f->C_Sign(h, const_cast<uint8_t*>(data.data()), data.size(), sig.data(), &n);
    }
    CK_RV sign_once(const bytes& data, bytes& sig) {
        if (CK_RV rv = sign_init(); rv != CKR_OK) return rv;
        return sign(data, sig);
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

void sign_loop(benchmark::State& state, p11_client& c, cardsim::test::simulated_token* token) {
    const bytes data(1000, 0x5C);
    bytes sig(256);
    for (auto _ : state) {
        if (CK_RV rv = c.sign_once(data, sig); rv != CKR_OK) {
            state.SkipWithError(("C_Sign failed: " + std::to_string(rv)).c_str());
            return;
        }
    }
    if (token == nullptr) return;
    // The card keeps the last 10000 commands only, fewer than a timed loop of
    // a few seconds sends: count over 100 signatures of their own.
    // The two calls are counted apart as well.
    constexpr int counted = 100;
    size_t init_apdus = 0, sign_apdus = 0;
    for (int i = 0; i < counted; ++i) {
        token->sim().clear_log();
        CK_RV rv = c.sign_init();
        init_apdus += token->sim().apdu_log().size();
        token->sim().clear_log();
        if (rv == CKR_OK) rv = c.sign(data, sig);
        sign_apdus += token->sim().apdu_log().size();
        if (rv != CKR_OK) {
            state.SkipWithError(("C_Sign failed: " + std::to_string(rv)).c_str());
            return;
        }
    }
    state.counters["apdus_per_sign"] = static_cast<double>(init_apdus + sign_apdus) / counted;
    state.counters["apdus_C_SignInit"] = static_cast<double>(init_apdus) / counted;
    state.counters["apdus_C_Sign"] = static_cast<double>(sign_apdus) / counted;
    token->sim().clear_log();
}

void BM_tessvik_sign(benchmark::State& state) {
    static std::unique_ptr<cardsim::test::simulated_token> token;
    static p11_client client;
    static bool ready = false;
    if (!ready) {
        cardsim::card_options o;
        o.oem_identifier = "Tavrel01";
        token = std::make_unique<cardsim::test::simulated_token>(o);
        if (!token->inserted()) {
            state.SkipWithError(("no simulated token: " + token->error()).c_str());
            return;
        }
        if (!client.open(TESSVIK_MODULE_PATH, "pevot", "58204716", true)) {
            state.SkipWithError(client.error.c_str());
            return;
        }
        ready = true;
    }
    sign_loop(state, client, token.get());
}

void BM_softhsm2_sign(benchmark::State& state) {
    static p11_client client;
    static bool ready = false;
    if (!ready) {
        const std::filesystem::path dir =
            std::filesystem::temp_directory_path() / "tessvik-bench-softhsm";
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
            return;
        }
        if (!client.open(SOFTHSM2_MODULE_PATH, "12345678", "58204716", false)) {
            state.SkipWithError(client.error.c_str());
            return;
        }
        ready = true;
    }
    sign_loop(state, client, nullptr);
}

} // namespace

BENCHMARK(BM_tessvik_sign)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_softhsm2_sign)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
