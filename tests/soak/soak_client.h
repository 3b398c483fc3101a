// What every soak process that works on a token shares (the workers and the
// recyclers): its log and journal, a session on its token with the user
// logged in, and the way back after a failure that an application takes (a
// new session after a lost one, a new login, C_Initialize again after
// C_Finalize).
#pragma once

#include <cstdio>
#include <random>
#include <string>

#include <openssl/types.h>

#include "soak.h"

namespace soak {

inline constexpr const char* user_pin = "58204716";

// SIGTERM and SIGINT end the process's loop (client::running).
void stop_on_signals();

// An RSA public key from its modulus and exponent (nullptr when OpenSSL
// refuses them), to check signatures independently of the module.
EVP_PKEY* public_key(const bytes& n, const bytes& e);
// Whether `signature` is a SHA-256 PKCS#1 v1.5 signature of `data` under `key`.
bool signature_verifies(EVP_PKEY* key, const bytes& data, const bytes& signature);

class client {
  public:
    client(int id, std::string serial, const std::string& log, const std::string& journal_path,
           int64_t until, CK_FUNCTION_LIST* f);
    virtual ~client();
    client(const client&) = delete;
    client& operator=(const client&) = delete;

  protected:
    // Log and journal open.
    bool opened() const { return log_ != nullptr && journal_ != nullptr; }
    // Neither stopped nor past its time.
    bool running() const;
    // Ends the module's use; the last line of the log.
    void finish();

    // A call's answer in the log: "<ms> <op> <result> <duration> <detail>".
    void log(const char* op, const std::string& result, int64_t started,
             const std::string& detail = {});
    // A journal line (tags in soak.h).
    void note(const char* tag, const std::string& label, const std::string& result = {});
    // A call failed: logs it, puts the state where the answer says and paces
    // the next try.
    void failed(const char* op, CK_RV rv, int64_t started, const std::string& detail = {});
    void succeeded(const char* op, int64_t started, const std::string& detail = {});
    // A wrong result (not an error code): logged as the failure `kind`.
    void wrong(const char* op, const char* kind, int64_t started, const std::string& detail);
    void drop_session();
    // C_Initialize, a session and the user's login where they are missing.
    bool ready();

    // The handles this process held name nothing any more (its session was
    // closed: the token may have left, the module may give them out again).
    virtual void forget_handles() {}
    // The module answered CKR_KEY_HANDLE_INVALID to an ordinary step.
    virtual void forget_key() {}

    int id_;
    std::string serial_;
    CK_FUNCTION_LIST* f_;
    std::mt19937_64 rng_;
    CK_SESSION_HANDLE session_ = 0;

  private:
    int64_t until_;
    FILE* log_ = nullptr;
    FILE* journal_ = nullptr;
    bool initialized_ = false;
    bool need_login_ = true;
    int failures_in_a_row_ = 0;
};

// The main of a process of one role (worker, recycler): "--module M --id N
// --serial S --log FILE --journal FILE --until MS" after the subcommand.
template <typename Role> int run_role(const char* name, int argc, char** argv) {
    auto o = options(argc, argv);
    stop_on_signals();
    loaded_module mod;
    std::string error;
    if (!mod.load(o["module"].c_str(), &error)) {
        std::fprintf(stderr, "%s: %s\n", name, error.c_str());
        return 2;
    }
    Role r(std::stoi(o["id"]), o["serial"], o["log"], o["journal"], std::stoll(o["until"]), mod.f);
    return r.run();
}

} // namespace soak
