// One soak worker: an application that signs with the token's RSA key and
// creates, reads and destroys token data objects until its time is up,
// finding its way back after every fault the way an application would (a new
// session, a new login, the key looked up again), and keeping a journal of
// what it created. Every call's answer goes to its log.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include "soak.h"
#include "wait_until.h"

namespace soak {

namespace {

volatile std::sig_atomic_t stopping = 0;

void on_term(int) {
    stopping = 1;
}

constexpr const char* user_pin = "58204716";
constexpr const char* key_label = "soak-key";
constexpr size_t live_target = 10; // data objects a worker keeps on the card

// The public key of the token's pair, to check every signature independently.
EVP_PKEY* public_key(const bytes& n, const bytes& e) {
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    BIGNUM* bn = BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr);
    BIGNUM* be = BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr);
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, bn);
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, be);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    if (ctx != nullptr && EVP_PKEY_fromdata_init(ctx) == 1)
        (void)EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    BN_free(bn);
    BN_free(be);
    OSSL_PARAM_BLD_free(build);
    return key;
}

bool signature_verifies(EVP_PKEY* key, const bytes& data, const bytes& signature) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok =
        EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
        EVP_DigestVerify(ctx, signature.data(), signature.size(), data.data(), data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

class worker {
  public:
    worker(int id, std::string serial, const std::string& log, const std::string& journal_path,
           int64_t until, CK_FUNCTION_LIST* f)
        : id_(id), serial_(std::move(serial)), until_(until), f_(f),
          rng_(static_cast<uint64_t>(now_ms()) * 1000 + static_cast<uint64_t>(id)) {
        const journal j = read_journal(journal_path);
        for (const auto& [label, when] : j.live)
            live_[label] = 0;
        doubtful_ = j.doubtful;
        next_ = j.next_sequence;
        log_ = std::fopen(log.c_str(), "a");
        journal_ = std::fopen(journal_path.c_str(), "a");
    }
    ~worker() {
        if (key_ != nullptr) EVP_PKEY_free(key_);
        if (log_ != nullptr) std::fclose(log_);
        if (journal_ != nullptr) std::fclose(journal_);
    }
    worker(const worker&) = delete;
    worker& operator=(const worker&) = delete;

    int run() {
        if (log_ == nullptr || journal_ == nullptr) return 2;
        log("start", "CKR_OK", now_ms());
        while (stopping == 0 && now_ms() < until_) {
            if (!ready()) continue;
            if (!doubtful_.empty()) {
                resolve_doubt();
                continue;
            }
            const int r = static_cast<int>(rng_() % 100);
            if (r < 40)
                sign();
            else if (r < 60)
                live_.size() < live_target ? create() : destroy();
            else if (r < 85)
                live_.empty() ? create() : read();
            else
                live_.empty() ? create() : destroy();
        }
        if (initialized_) f_->C_Finalize(nullptr);
        log("stop", "CKR_OK", now_ms());
        return 0;
    }

  private:
    void log(const char* op, const std::string& result, int64_t started,
             const std::string& detail = {}) {
        const int64_t t = now_ms();
        std::fprintf(log_, "%lld %s %s %lld %s\n", static_cast<long long>(t), op, result.c_str(),
                     static_cast<long long>(t - started), detail.c_str());
        std::fflush(log_);
    }
    void note(const char* tag, const std::string& label, const std::string& result = {}) {
        std::fprintf(journal_, "%lld %s %s %s\n", static_cast<long long>(now_ms()), tag,
                     label.c_str(), result.c_str());
        std::fflush(journal_);
    }
    // A call failed: log it and put the worker's state where the answer says.
    void failed(const char* op, CK_RV rv, int64_t started, const std::string& detail = {}) {
        log(op, rv_name(rv), started, detail);
        switch (rv) {
        case CKR_SESSION_HANDLE_INVALID:
        case CKR_SESSION_CLOSED:
        case CKR_DEVICE_REMOVED:
        case CKR_TOKEN_NOT_PRESENT:
        case CKR_TOKEN_NOT_RECOGNIZED:
        case CKR_SLOT_ID_INVALID:
            drop_session();
            break;
        case CKR_USER_NOT_LOGGED_IN:
            need_login_ = true;
            break;
        case CKR_KEY_HANDLE_INVALID:
            priv_ = pub_ = 0;
            break;
        case CKR_OPERATION_ACTIVE:
            drop_session(); // an operation the module did not end
            break;
        case CKR_CRYPTOKI_NOT_INITIALIZED:
            drop_session();
            initialized_ = false;
            break;
        default:
            break;
        }
        if (++failures_in_a_row_ >= 5 && session_ != 0) drop_session();
        if (failures_in_a_row_ >= 20 && initialized_) {
            f_->C_Finalize(nullptr);
            initialized_ = false;
            failures_in_a_row_ = 0;
        }
        pause_ms(100 + static_cast<int>(rng_() % 200));
    }
    void succeeded(const char* op, int64_t started, const std::string& detail = {}) {
        failures_in_a_row_ = 0;
        log(op, "CKR_OK", started, detail);
    }
    // A wrong result (not an error code): logged as the failure `kind`.
    void wrong(const char* op, const char* kind, int64_t started, const std::string& detail) {
        log(op, kind, started, detail);
    }
    void drop_session() {
        if (session_ != 0) (void)f_->C_CloseSession(session_);
        session_ = 0;
        priv_ = pub_ = 0;
        need_login_ = true;
        // The token may have left: handles are looked up again.
        for (auto& [label, handle] : live_)
            handle = 0;
    }

    bool ready() {
        const int64_t t = now_ms();
        if (!initialized_) {
            const CK_RV rv = f_->C_Initialize(nullptr);
            if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
                failed("setup", rv, t, "C_Initialize");
                return false;
            }
            initialized_ = true;
        }
        if (session_ == 0) {
            CK_SLOT_ID slot = 0;
            if (CK_RV rv = slot_of(f_, serial_, slot); rv != CKR_OK) {
                failed("setup", rv, t, "slot");
                return false;
            }
            if (CK_RV rv = f_->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                             nullptr, &session_);
                rv != CKR_OK) {
                session_ = 0;
                failed("setup", rv, t, "C_OpenSession");
                return false;
            }
            need_login_ = true;
        }
        if (need_login_) {
            const CK_RV rv = f_->C_Login(
                session_, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(user_pin)),
                std::strlen(user_pin));
            if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
                failed("setup", rv, t, "C_Login");
                return false;
            }
            need_login_ = false;
        }
        if (priv_ == 0 || pub_ == 0) return find_key(t);
        return true;
    }

    bool find_key(int64_t t) {
        CK_OBJECT_HANDLE found[2] = {0, 0};
        const CK_OBJECT_CLASS classes[2] = {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY};
        for (int i = 0; i < 2; ++i) {
            CK_OBJECT_CLASS cls = classes[i];
            CK_RV rv = CKR_OK;
            const auto h =
                find_objects(f_, session_,
                             {{CKA_CLASS, &cls, sizeof cls},
                              {CKA_LABEL, const_cast<char*>(key_label), std::strlen(key_label)}},
                             &rv);
            if (rv != CKR_OK) {
                failed("setup", rv, t, "find key");
                return false;
            }
            if (h.size() != 1) {
                wrong("setup", h.empty() ? "LOST" : "DUPLICATE", t, "key");
                pause_ms(300);
                return false;
            }
            found[i] = h[0];
        }
        if (key_ == nullptr) {
            bytes n, e;
            CK_RV rv = attribute_value(f_, session_, found[1], CKA_MODULUS, n);
            if (rv == CKR_OK) rv = attribute_value(f_, session_, found[1], CKA_PUBLIC_EXPONENT, e);
            if (rv != CKR_OK) {
                failed("setup", rv, t, "public key");
                return false;
            }
            key_ = public_key(n, e);
            if (key_ == nullptr) return false;
        }
        priv_ = found[0];
        pub_ = found[1];
        return true;
    }

    void sign() {
        const int64_t t = now_ms();
        bytes data(32 + rng_() % 200);
        for (auto& b : data)
            b = static_cast<uint8_t>(rng_());
        CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
        if (CK_RV rv = f_->C_SignInit(session_, &mech, priv_); rv != CKR_OK)
            return failed("sign", rv, t, "C_SignInit");
        bytes signature(512);
        CK_ULONG n = signature.size();
        if (CK_RV rv = f_->C_Sign(session_, data.data(), data.size(), signature.data(), &n);
            rv != CKR_OK)
            return failed("sign", rv, t, "C_Sign");
        signature.resize(n);
        if (!signature_verifies(key_, data, signature))
            return wrong("sign", "BADSIG", t, std::to_string(n));
        succeeded("sign", t);
    }

    void create() {
        const std::string label = label_for(id_, next_++);
        const bytes value = value_for(label);
        note("B", label);
        const int64_t t = now_ms();
        CK_OBJECT_CLASS cls = CKO_DATA;
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                               {CKA_TOKEN, &yes, 1},
                               {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                               {CKA_VALUE, const_cast<uint8_t*>(value.data()), value.size()}};
        CK_OBJECT_HANDLE h = 0;
        if (CK_RV rv = f_->C_CreateObject(session_, tmpl, 4, &h); rv != CKR_OK) {
            // It may be on the card all the same (the answer was lost).
            note("F", label, rv_name(rv));
            doubtful_.insert(label);
            return failed("create", rv, t, label);
        }
        note("C", label);
        live_[label] = h;
        succeeded("create", t, label);
    }

    // A random live object: by the handle this worker holds, then by its label.
    void read() {
        auto it = live_.begin();
        std::advance(it, static_cast<long>(rng_() % live_.size()));
        const std::string label = it->first;
        const bytes expected = value_for(label);
        const int64_t t = now_ms();
        if (it->second != 0) {
            bytes v;
            const CK_RV rv = attribute_value(f_, session_, it->second, CKA_VALUE, v);
            if (rv == CKR_OBJECT_HANDLE_INVALID) {
                it->second = 0;
                return failed("read", rv, t, label + " held handle");
            }
            if (rv != CKR_OK) return failed("read", rv, t, label);
            if (v != expected) return wrong("read", "CORRUPT", t, label);
        }
        CK_RV rv = CKR_OK;
        const auto found = find_data(f_, session_, &label, &rv);
        if (rv != CKR_OK) return failed("read", rv, t, label + " search");
        if (found.empty()) {
            live_.erase(label); // read no more; the final check counts it
            return wrong("read", "LOST", t, label);
        }
        if (found.size() > 1) return wrong("read", "DUPLICATE", t, label);
        if (it->second != 0 && found[0] != it->second)
            return wrong("read", "HANDLE_CHANGED", t, label);
        bytes v, l;
        if (rv = attribute_value(f_, session_, found[0], CKA_VALUE, v); rv != CKR_OK)
            return failed("read", rv, t, label);
        if (v != expected) return wrong("read", "CORRUPT", t, label);
        if (rv = attribute_value(f_, session_, found[0], CKA_LABEL, l); rv != CKR_OK)
            return failed("read", rv, t, label);
        if (l != bytes(label.begin(), label.end())) return wrong("read", "BADLABEL", t, label);
        it->second = found[0];
        succeeded("read", t, label);
    }

    // The oldest live object.
    void destroy() {
        const auto it =
            std::min_element(live_.begin(), live_.end(), [](const auto& a, const auto& b) {
                return sequence_of(a.first) < sequence_of(b.first);
            });
        const std::string label = it->first;
        CK_OBJECT_HANDLE h = it->second;
        const int64_t t = now_ms();
        if (h == 0) {
            CK_RV rv = CKR_OK;
            const auto found = find_data(f_, session_, &label, &rv);
            if (rv != CKR_OK) return failed("destroy", rv, t, label + " search");
            if (found.size() != 1) {
                live_.erase(label);
                return wrong("destroy", found.empty() ? "LOST" : "DUPLICATE", t, label);
            }
            h = found[0];
        }
        note("BD", label);
        const CK_RV rv = f_->C_DestroyObject(session_, h);
        live_.erase(label);
        if (rv != CKR_OK) {
            note("FD", label, rv_name(rv));
            doubtful_.insert(label);
            return failed("destroy", rv, t, label);
        }
        note("D", label);
        succeeded("destroy", t, label);
    }

    // An object whose creation or destruction ended without an answer: is it there?
    void resolve_doubt() {
        const std::string label = *doubtful_.begin();
        const int64_t t = now_ms();
        CK_RV rv = CKR_OK;
        const auto found = find_data(f_, session_, &label, &rv);
        if (rv != CKR_OK) return failed("resolve", rv, t, label);
        if (found.empty()) {
            note("X", label);
            doubtful_.erase(label);
            return succeeded("resolve", t, label + " absent");
        }
        if (found.size() > 1) {
            wrong("resolve", "DUPLICATE", t, label);
            for (CK_OBJECT_HANDLE h : found)
                (void)f_->C_DestroyObject(session_, h);
            return;
        }
        bytes v;
        if (rv = attribute_value(f_, session_, found[0], CKA_VALUE, v); rv != CKR_OK)
            return failed("resolve", rv, t, label);
        doubtful_.erase(label);
        note("C", label);
        live_[label] = found[0];
        if (v != value_for(label)) return wrong("resolve", "CORRUPT", t, label);
        succeeded("resolve", t, label + " present");
    }

    int id_;
    std::string serial_;
    int64_t until_;
    CK_FUNCTION_LIST* f_;
    std::mt19937_64 rng_;
    FILE* log_ = nullptr;
    FILE* journal_ = nullptr;
    bool initialized_ = false;
    bool need_login_ = true;
    CK_SESSION_HANDLE session_ = 0;
    CK_OBJECT_HANDLE priv_ = 0;
    CK_OBJECT_HANDLE pub_ = 0;
    EVP_PKEY* key_ = nullptr;
    std::map<std::string, CK_OBJECT_HANDLE> live_; // label -> handle (0: look it up)
    std::set<std::string> doubtful_;
    uint64_t next_ = 0;
    int failures_in_a_row_ = 0;
};

} // namespace

// worker --module M --id N --serial S --log FILE --journal FILE --until MS
int run_worker(int argc, char** argv) {
    auto o = options(argc, argv);
    std::signal(SIGTERM, on_term);
    std::signal(SIGINT, on_term);
    loaded_module mod;
    std::string error;
    if (!mod.load(o["module"].c_str(), &error)) {
        std::fprintf(stderr, "worker: %s\n", error.c_str());
        return 2;
    }
    worker w(std::stoi(o["id"]), o["serial"], o["log"], o["journal"], std::stoll(o["until"]),
             mod.f);
    return w.run();
}

// setup --module M --reader R --serial-out FILE: the user PIN and the RSA key
// on the token in reader R (0 or 1), and the token's serial number.
int run_setup(int argc, char** argv) {
    auto o = options(argc, argv);
    loaded_module mod;
    std::string error;
    if (!mod.load(o["module"].c_str(), &error)) {
        std::fprintf(stderr, "setup: %s\n", error.c_str());
        return 2;
    }
    CK_FUNCTION_LIST* f = mod.f;
    // Only this reader's token is listed.
    const std::string filter =
        reader_name(std::stoi(o["reader"])) + ",vid_055c&pid_0223|vid_0bda&pid_0165,gmpcsc";
    (void)mod.m->M_SetEnumString(filter.c_str(), nullptr, nullptr);
    const auto check = [](const char* step, CK_RV rv) {
        if (rv != CKR_OK) std::fprintf(stderr, "setup: %s: %s\n", step, rv_name(rv).c_str());
        return rv == CKR_OK;
    };
    if (!check("C_Initialize", f->C_Initialize(nullptr))) return 1;
    // The module lists the token once pcscd has seen the card.
    CK_SLOT_ID slot = 0;
    const bool listed = test_support::wait_until(
        [&] {
            CK_ULONG n = 1;
            return f->C_GetSlotList(CK_TRUE, &slot, &n) == CKR_OK && n > 0;
        },
        std::chrono::seconds(20), std::chrono::milliseconds(200));
    if (!listed) return check("no token", CKR_TOKEN_NOT_PRESENT), 1;
    CK_SESSION_HANDLE s = 0;
    if (!check("C_OpenSession",
               f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s)))
        return 1;
    const auto pin = [](const char* p) {
        return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(p));
    };
    if (!check("SO login", f->C_Login(s, CKU_SO, pin("pevot"), 5)) ||
        !check("C_InitPIN", f->C_InitPIN(s, pin(user_pin), std::strlen(user_pin))) ||
        !check("C_Logout", f->C_Logout(s)) ||
        !check("user login", f->C_Login(s, CKU_USER, pin(user_pin), std::strlen(user_pin))))
        return 1;
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG bits = 2048;
    CK_ATTRIBUTE pt[] = {{CKA_TOKEN, &yes, 1},
                         {CKA_VERIFY, &yes, 1},
                         {CKA_MODULUS_BITS, &bits, sizeof bits},
                         {CKA_LABEL, const_cast<char*>(key_label), std::strlen(key_label)}};
    CK_ATTRIBUTE st[] = {{CKA_TOKEN, &yes, 1},
                         {CKA_PRIVATE, &yes, 1},
                         {CKA_SIGN, &yes, 1},
                         {CKA_LABEL, const_cast<char*>(key_label), std::strlen(key_label)}};
    CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    if (!check("C_GenerateKeyPair", f->C_GenerateKeyPair(s, &gen, pt, 4, st, 4, &pub, &priv)))
        return 1;
    CK_TOKEN_INFO info{};
    if (!check("C_GetTokenInfo", f->C_GetTokenInfo(slot, &info))) return 1;
    std::string serial(reinterpret_cast<const char*>(info.serialNumber), 16);
    while (!serial.empty() && (serial.back() == ' ' || serial.back() == '\0'))
        serial.pop_back();
    FILE* out = std::fopen(o["serial-out"].c_str(), "w");
    if (out == nullptr) return 1;
    std::fprintf(out, "%s\n", serial.c_str());
    std::fclose(out);
    f->C_CloseAllSessions(slot);
    f->C_Finalize(nullptr);
    return 0;
}

} // namespace soak
