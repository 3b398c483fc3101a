#include "soak_client.h"

#include <csignal>
#include <cstring>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

namespace soak {

namespace {

volatile std::sig_atomic_t stopping = 0;

void on_term(int) {
    stopping = 1;
}

} // namespace

void stop_on_signals() {
    std::signal(SIGTERM, on_term);
    std::signal(SIGINT, on_term);
}

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

client::client(int id, std::string serial, const std::string& log, const std::string& journal_path,
               int64_t until, CK_FUNCTION_LIST* f)
    : id_(id), serial_(std::move(serial)), f_(f),
      rng_(static_cast<uint64_t>(now_ms()) * 1000 + static_cast<uint64_t>(id)), until_(until) {
    log_ = std::fopen(log.c_str(), "a");
    journal_ = std::fopen(journal_path.c_str(), "a");
}

client::~client() {
    if (log_ != nullptr) std::fclose(log_);
    if (journal_ != nullptr) std::fclose(journal_);
}

bool client::running() const {
    return stopping == 0 && now_ms() < until_;
}

void client::finish() {
    if (initialized_) f_->C_Finalize(nullptr);
    log("stop", "CKR_OK", now_ms());
}

void client::log(const char* op, const std::string& result, int64_t started,
                 const std::string& detail) {
    const int64_t t = now_ms();
    std::fprintf(log_, "%lld %s %s %lld %s\n", static_cast<long long>(t), op, result.c_str(),
                 static_cast<long long>(t - started), detail.c_str());
    std::fflush(log_);
}

void client::note(const char* tag, const std::string& label, const std::string& result) {
    std::fprintf(journal_, "%lld %s %s %s\n", static_cast<long long>(now_ms()), tag, label.c_str(),
                 result.c_str());
    std::fflush(journal_);
}

void client::failed(const char* op, CK_RV rv, int64_t started, const std::string& detail) {
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
        forget_key();
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

void client::succeeded(const char* op, int64_t started, const std::string& detail) {
    failures_in_a_row_ = 0;
    log(op, "CKR_OK", started, detail);
}

void client::wrong(const char* op, const char* kind, int64_t started, const std::string& detail) {
    log(op, kind, started, detail);
}

void client::drop_session() {
    if (session_ != 0) (void)f_->C_CloseSession(session_);
    session_ = 0;
    need_login_ = true;
    forget_key();
    forget_handles();
}

bool client::ready() {
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
        const CK_RV rv = f_->C_Login(session_, CKU_USER,
                                     reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(user_pin)),
                                     std::strlen(user_pin));
        if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
            failed("setup", rv, t, "C_Login");
            return false;
        }
        need_login_ = false;
    }
    return true;
}

} // namespace soak
