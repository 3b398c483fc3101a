// A token injected into the process-wide core, sessions on it, key objects in
// its object list, and a scripted key context that the sessions' factory
// builds in place of the real classes.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "library_initialised.h"
#include "pkcs11_core.h"
#include "test_templates.h"

namespace session_test {

struct ctx_script {
    CK_RV init = CKR_OK;        // answer of every init
    CK_RV one_shot = CKR_OK;    // answer of encrypt/decrypt before any output
    uint32_t out_size = 8;      // what a sized step produces
    bool update_throws = false; // a digest update runs out of memory
};
inline ctx_script script;
inline int live_contexts = 0;
inline std::vector<uint8_t> digested; // every byte a digest update saw

class scripted_ctx : public pkcs11_key_ctx {
  public:
    scripted_ctx(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object> key, pkcs11_token* token)
        : pkcs11_key_ctx(m, std::move(key), token) {
        ++live_contexts;
    }
    ~scripted_ctx() override { --live_contexts; }

    CK_RV encrypt_init() override { return init(); }
    CK_RV decrypt_init() override { return init(); }
    CK_RV digest_init() override { return init(); }
    CK_RV sign_init() override { return init(); }
    CK_RV verify_init() override { return init(); }
    CK_RV encrypt(const uint8_t*, uint32_t, uint8_t* out, uint32_t* len) override {
        return script.one_shot != CKR_OK ? script.one_shot : sized(out, len);
    }
    CK_RV decrypt(const uint8_t*, uint32_t, uint8_t* out, uint32_t* len) override {
        return script.one_shot != CKR_OK ? script.one_shot : sized(out, len);
    }
    // The cipher updates hand the data through.
    CK_RV encrypt_update(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t* len) override {
        return passed_through(in, n, out, len);
    }
    CK_RV decrypt_update(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t* len) override {
        return passed_through(in, n, out, len);
    }
    CK_RV sign_update(const uint8_t*, uint32_t) override { return check_active(); }
    CK_RV verify_update(const uint8_t*, uint32_t) override { return check_active(); }
    CK_RV digest_update(const uint8_t* data, uint32_t len) override {
        if (CK_RV rv = check_active(); rv != CKR_OK) return rv;
        if (script.update_throws) throw std::bad_alloc();
        digested.insert(digested.end(), data, data + len);
        return CKR_OK;
    }
    CK_RV digest(const uint8_t*, uint32_t, uint8_t* out, uint32_t* len) override {
        return sized(out, len);
    }
    CK_RV digest_final(uint8_t* out, uint32_t* len) override { return sized(out, len); }
    CK_RV sign(const uint8_t*, uint32_t, uint8_t* out, uint32_t* len) override {
        // Reads the key object as a real signing context would.
        if (key() != nullptr && key()->attributes().size() == 0) return CKR_GENERAL_ERROR;
        return sized(out, len);
    }
    CK_RV sign_final(uint8_t* out, uint32_t* len) override { return sized(out, len); }
    CK_RV verify(const uint8_t*, uint32_t, const uint8_t* sig, uint32_t len) override {
        if (CK_RV rv = check_active(); rv != CKR_OK) return rv;
        finish();
        return len == script.out_size && sig[0] == 0xAB ? CKR_OK : CKR_SIGNATURE_INVALID;
    }

  private:
    CK_RV init() {
        if (script.init != CKR_OK) return script.init;
        start();
        return CKR_OK;
    }
    CK_RV passed_through(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t* len) {
        if (CK_RV rv = check_active(); rv != CKR_OK) return rv;
        const uint32_t room = *len;
        *len = n;
        if (out == nullptr) return CKR_OK;
        if (room < n) return CKR_BUFFER_TOO_SMALL;
        if (n != 0) std::memcpy(out, in, n);
        return CKR_OK;
    }
    // The PKCS#11 size-query rule.
    CK_RV sized(uint8_t* out, uint32_t* len) {
        if (CK_RV rv = check_active(); rv != CKR_OK) return rv;
        if (out == nullptr) {
            *len = script.out_size;
            return CKR_OK;
        }
        if (*len < script.out_size) {
            *len = script.out_size;
            return CKR_BUFFER_TOO_SMALL;
        }
        std::memset(out, 0xAB, script.out_size);
        *len = script.out_size;
        finish();
        return CKR_OK;
    }
};

// Builds a scripted context for every mechanism but CKM_SHA384_KEY_DERIVATION.
inline std::unique_ptr<pkcs11_key_ctx> scripted_factory(const CK_MECHANISM& m,
                                                        std::shared_ptr<pkcs11_object> key,
                                                        pkcs11_token* token, uint8_t) {
    if (m.mechanism == CKM_SHA384_KEY_DERIVATION) return nullptr;
    return std::make_unique<scripted_ctx>(m, std::move(key), token);
}

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        script = {};
        live_contexts = 0;
        digested.clear();
        static int n = 0;
        const std::string name = "session test reader " + std::to_string(n++);
        int32_t slot_id = -1;
        bool created = false;
        token = pkcs11_core().token_mgr().find_or_add_token(name.c_str(), &slot_id, &created);
        ASSERT_NE(token, nullptr);
        slot = static_cast<CK_SLOT_ID>(slot_id);
    }
    void TearDown() override {
        for (uint32_t h : pkcs11_core().session_mgr().sessions_of_slot(static_cast<uint32_t>(slot)))
            (void)pkcs11_core().close_session(h);
        pkcs11_core().token_mgr().remove_token(token);
        EXPECT_EQ(live_contexts, 0) << "a key context outlived its session";
    }
    // A session at a login state (2 nobody, 1 user, 0 SO) whose contexts are scripted.
    CK_SESSION_HANDLE open(bool read_write, int32_t login = 2, bool scripted = true) {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(pkcs11_core().open_session(slot,
                                             CKF_SERIAL_SESSION | (read_write ? CKF_RW_SESSION : 0),
                                             nullptr, nullptr, &h),
                  CKR_OK);
        pkcs11_session* s = pkcs11_core().session_mgr().find(h);
        EXPECT_EQ(s->session_state_from_login(login), CKR_OK);
        if (scripted) s->set_key_ctx_factory(&scripted_factory);
        return h;
    }
    // A session secret key in the token's object list.
    CK_OBJECT_HANDLE key(const std::function<void(inner_builder&)>& more = {}) {
        inner_builder b;
        b.u32(CKA_CLASS, CKO_SECRET_KEY)
            .u32(CKA_KEY_TYPE, CKK_GENERIC_SECRET)
            .flag(CKA_TOKEN, false);
        if (more) more(b);
        CK_RV rv = CKR_OK;
        auto o = pkcs11_object::create(0, CKO_SECRET_KEY, b.data(), b.size(), &rv);
        EXPECT_EQ(rv, CKR_OK);
        token->objects().add(o);
        return o->handle();
    }

    pkcs11_token* token = nullptr;
    CK_SLOT_ID slot = 0;
};

} // namespace session_test
