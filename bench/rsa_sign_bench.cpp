// An RSA-2048 signature through the device API (gm_rsa_sign_data) against the
// same signing APDU sent with plain SCardTransmit: the time per call of each,
// the APDUs one API call sends, and the API's time as a multiple of the
// wire's (the library's overhead over the wire).
//
// Needs pcscd with the project's readers (started through scripts/pcscd.sh if
// none runs) and the second simulated reader ("... 00 01") free.
#include <benchmark/benchmark.h>

#include <winscard.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "cardsim_harness.h"
#include "gm_api.h"
#include "gm_filters.h"

namespace {

using bytes = std::vector<uint8_t>;
using clock_type = std::chrono::steady_clock;

constexpr uint8_t ins_rsa_sign = 0x1C;

// One token, one device-API connection, a container with a 2048-bit pair,
// and the RSASignEx APDU that the API sent for it.
struct bench_token {
    std::unique_ptr<cardsim::test::simulated_token> token;
    DEVHANDLE dev = 0;
    HAPPLICATION app = 0;
    HCONTAINER cont = 0;
    bytes digest = bytes(32, 0x5C);
    bytes sign_apdu;
    std::string error;

    bench_token() {
        gm_set_enum_filters("Quessar vKessa Tavrel,vid_0000&pid_0000,vid_0000&pid_0000", "*");
        token = std::make_unique<cardsim::test::simulated_token>(cardsim::card_options{},
                                                                 cardsim::test::second_port());
        if (!token->inserted()) {
            error = "no simulated token: " + token->error();
            return;
        }
        uint32_t retry = 0;
        RSAPUBLICKEYBLOB pub;
        if (SKF_ConnectDev(token->reader().c_str(), &dev) ||
            SKF_OpenApplication(dev, "APP", &app) || SKF_VerifyPIN(app, 1, "58204716", &retry)) {
            error = "cannot open the token's application";
            return;
        }
        SKF_DeleteContainer(app, "bench");
        if (SKF_CreateContainer(app, "bench", &cont) || gm_gen_rsa_key_pair(cont, 1, 2048, &pub)) {
            error = "cannot make the RSA-2048 pair";
            return;
        }
        token->sim().clear_log();
        uint8_t signature[256];
        uint32_t len = sizeof signature;
        if (gm_rsa_sign_data(cont, 1, 4, digest.data(), 32, signature, &len)) {
            error = "gm_rsa_sign_data failed";
            return;
        }
        for (const auto& apdu : token->sim().apdu_log())
            if (apdu.size() > 4 && apdu[1] == ins_rsa_sign) sign_apdu = apdu;
        if (sign_apdu.empty()) error = "no RSASignEx APDU seen";
    }
    ~bench_token() {
        if (app) SKF_DeleteContainer(app, "bench");
        if (dev) SKF_DisConnectDev(dev);
    }
};

bench_token& shared_token() {
    static bench_token t;
    return t;
}

// Seconds per call of the plain-wire benchmark, for the ratio.
double wire_seconds_per_call = 0;

// Sends apdu with plain SCardTransmit on a connection of its own for every
// iteration; the reply must be reply_length bytes ending in 90 00. Returns the
// seconds per call (0 when it failed).
double wire_loop(benchmark::State& state, const bytes& apdu, size_t reply_length) {
    bench_token& t = shared_token();
    if (!t.error.empty()) {
        state.SkipWithError(t.error.c_str());
        return 0;
    }
    SCARDCONTEXT ctx = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS ||
        SCardConnect(ctx, t.token->reader().c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card,
                     &protocol) != SCARD_S_SUCCESS) {
        if (ctx) SCardReleaseContext(ctx);
        state.SkipWithError("SCardConnect failed");
        return 0;
    }
    bytes reply(2048);
    int64_t calls = 0;
    const auto start = clock_type::now();
    for (auto _ : state) {
        DWORD len = static_cast<DWORD>(reply.size());
        const LONG rc = SCardTransmit(card, SCARD_PCI_T1, apdu.data(),
                                      static_cast<DWORD>(apdu.size()), nullptr, reply.data(), &len);
        if (rc != SCARD_S_SUCCESS || len != reply_length || reply[len - 2] != 0x90 ||
            reply[len - 1] != 0x00) {
            state.SkipWithError("the APDU failed");
            break;
        }
        ++calls;
    }
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(ctx);
    if (calls == 0) return 0;
    state.counters["apdus_per_call"] = 1;
    state.counters["us_per_call"] = 1e6 * seconds / static_cast<double>(calls);
    return seconds / static_cast<double>(calls);
}

// The same RSASignEx APDU the API sends, on the wire alone.
void wire_rsa_sign(benchmark::State& state) {
    const double per_call = wire_loop(state, shared_token().sign_apdu, 256 + 2);
    if (per_call > 0) wire_seconds_per_call = per_call;
}

// The floor of one exchange: 8 random bytes ("GenRandom", 80 50 00 00 08).
void wire_floor_random8(benchmark::State& state) {
    wire_loop(state, bytes{0x80, 0x50, 0x00, 0x00, 0x08}, 8 + 2);
}

void api_rsa_sign(benchmark::State& state) {
    bench_token& t = shared_token();
    if (!t.error.empty()) {
        state.SkipWithError(t.error.c_str());
        return;
    }
    uint8_t signature[256];
    const auto sign = [&] {
        uint32_t len = sizeof signature;
        return gm_rsa_sign_data(t.cont, 1, 4, t.digest.data(), 32, signature, &len) == SAR_OK;
    };
    int64_t calls = 0;
    const auto start = clock_type::now();
    for (auto _ : state) {
        if (!sign()) {
            state.SkipWithError("gm_rsa_sign_data failed");
            break;
        }
        ++calls;
    }
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    if (calls == 0) return;
    // The card keeps the last 10000 commands only: count over 100 calls of
    // their own, outside the timed loop.
    constexpr int counted = 100;
    t.token->sim().clear_log();
    for (int i = 0; i < counted; ++i) {
        if (!sign()) {
            state.SkipWithError("gm_rsa_sign_data failed");
            return;
        }
    }
    const size_t apdus = t.token->sim().apdu_log().size();
    t.token->sim().clear_log();
    const double per_call = seconds / static_cast<double>(calls);
    state.counters["apdus_per_call"] = static_cast<double>(apdus) / counted;
    state.counters["us_per_call"] = 1e6 * per_call;
    if (wire_seconds_per_call > 0)
        state.counters["api_over_wire"] = per_call / wire_seconds_per_call;
}

} // namespace

// Wire first: the API benchmark divides by its time.
BENCHMARK(wire_floor_random8)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(wire_rsa_sign)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(api_rsa_sign)->UseRealTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
