// One soak worker: an application that signs with the token's RSA key and
// creates, reads and destroys token data objects until its time is up,
// finding its way back after every fault the way an application would (a new
// session, a new login, the key looked up again), and keeping a journal of
// what it created. Every call's answer goes to its log.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <openssl/evp.h>

#include "soak_client.h"
#include "wait_until.h"

namespace soak {

namespace {

constexpr const char* key_label = worker_key_label;
constexpr size_t live_target = 10; // data objects a worker keeps on the card

class worker : public client {
  public:
    worker(int id, std::string serial, const std::string& log, const std::string& journal_path,
           int64_t until, CK_FUNCTION_LIST* f)
        : client(id, std::move(serial), log, journal_path, until, f) {
        const journal j = read_journal(journal_path);
        for (const auto& [label, when] : j.live)
            live_[label] = 0;
        doubtful_ = j.doubtful;
        next_ = j.next_sequence;
    }
    ~worker() override {
        if (key_ != nullptr) EVP_PKEY_free(key_);
    }

    int run() {
        if (!opened()) return 2;
        log("start", "CKR_OK", now_ms());
        while (running()) {
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
        finish();
        return 0;
    }

  private:
    void forget_key() override { priv_ = pub_ = 0; }
    // The token may have left: handles are looked up again.
    void forget_handles() override {
        for (auto& [label, handle] : live_)
            handle = 0;
    }

    bool ready() {
        const int64_t t = now_ms();
        if (!client::ready()) return false;
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

    CK_OBJECT_HANDLE priv_ = 0;
    CK_OBJECT_HANDLE pub_ = 0;
    EVP_PKEY* key_ = nullptr;
    std::map<std::string, CK_OBJECT_HANDLE> live_; // label -> handle (0: look it up)
    std::set<std::string> doubtful_;
    uint64_t next_ = 0;
};

} // namespace

// worker --module M --id N --serial S --log FILE --journal FILE --until MS
int run_worker(int argc, char** argv) {
    return run_role<worker>("worker", argc, argv);
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
