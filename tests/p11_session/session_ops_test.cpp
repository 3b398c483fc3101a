// A session's three operation slots and the life of their contexts, through
// the exports, with scripted key contexts.
#include <functional>

#include "session_fixture.h"

namespace {

using namespace session_test;

class SessionOps : public SessionTest {
  protected:
    void SetUp() override {
        SessionTest::SetUp();
        h = open(true);
        k = key();
    }
    CK_SESSION_HANDLE h = 0;
    CK_OBJECT_HANDLE k = 0;
    CK_MECHANISM aes{CKM_AES_ECB, nullptr, 0};
    CK_MECHANISM sha1{CKM_SHA_1, nullptr, 0};
    CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
    CK_BYTE data[16] = {1, 2, 3, 4};
    CK_BYTE out[64] = {};
};

TEST_F(SessionOps, EncryptionAndDecryptionShareASlotDigestHasItsOwn) {
    ASSERT_EQ(C_EncryptInit(h, &aes, k), CKR_OK);
    EXPECT_EQ(C_DecryptInit(h, &aes, k), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(C_EncryptInit(h, &aes, k), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(C_DigestInit(h, &sha1), CKR_OK);
    EXPECT_EQ(C_DigestInit(h, &sha1), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(C_SignInit(h, &rsa, k), CKR_OK);
    EXPECT_EQ(live_contexts, 3);
    // The combined update runs the cipher step, then the digest over the plain part.
    CK_ULONG len = sizeof out;
    EXPECT_EQ(C_DigestEncryptUpdate(h, data, 4, out, &len), CKR_OK);
    EXPECT_EQ(digested.size(), 4u);
}

TEST_F(SessionOps, SignInitReplacesAVerificationAndVerifyInitDoesNotReplaceASignature) {
    ASSERT_EQ(C_SignInit(h, &rsa, k), CKR_OK);
    EXPECT_EQ(C_VerifyInit(h, &rsa, k), CKR_OPERATION_ACTIVE);
    ASSERT_EQ(C_SignInit(h, &rsa, k), CKR_OK); // replaces; the old context is gone
    EXPECT_EQ(live_contexts, 1);
    EXPECT_EQ(C_VerifyUpdate(h, data, 4), CKR_OK); // works on the signing context
}

TEST_F(SessionOps, SignSizeQueryAndShortBufferKeepTheOperation) {
    ASSERT_EQ(C_SignInit(h, &rsa, k), CKR_OK);
    CK_ULONG len = ~0UL;
    ASSERT_EQ(C_Sign(h, data, 4, nullptr, &len), CKR_OK);
    EXPECT_EQ(len, 8u);
    len = 4;
    ASSERT_EQ(C_Sign(h, data, 4, out, &len), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 8u);
    len = sizeof out;
    ASSERT_EQ(C_Sign(h, data, 4, out, &len), CKR_OK);
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(live_contexts, 0);
    EXPECT_EQ(C_SignUpdate(h, data, 4), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(C_Sign(h, data, 4, out, &len), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(SessionOps, FinalStepsFollowTheSameRule) {
    ASSERT_EQ(C_DigestInit(h, &sha1), CKR_OK);
    ASSERT_EQ(C_DigestUpdate(h, data, 3), CKR_OK);
    CK_ULONG len = 0;
    ASSERT_EQ(C_DigestFinal(h, nullptr, &len), CKR_OK);
    len = 1;
    ASSERT_EQ(C_DigestFinal(h, out, &len), CKR_BUFFER_TOO_SMALL);
    len = sizeof out;
    ASSERT_EQ(C_DigestFinal(h, out, &len), CKR_OK);
    EXPECT_EQ(C_DigestFinal(h, out, &len), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(SessionOps, AFailingOneShotEndsTheOperation) {
    script.one_shot = CKR_DEVICE_ERROR;
    ASSERT_EQ(C_EncryptInit(h, &aes, k), CKR_OK);
    CK_ULONG len = sizeof out;
    EXPECT_EQ(C_Encrypt(h, data, 16, out, &len), CKR_DEVICE_ERROR);
    EXPECT_EQ(C_Encrypt(h, data, 16, out, &len), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(live_contexts, 0);
    EXPECT_EQ(C_DecryptInit(h, &aes, k), CKR_OK); // the slot is free again
}

// A context that fails by throwing (out of memory) ends its operation as an
// error answer does, here in an update step.
TEST_F(SessionOps, AContextThatThrowsEndsTheOperation) {
    ASSERT_EQ(C_DigestInit(h, &sha1), CKR_OK);
    script.update_throws = true;
    EXPECT_EQ(C_DigestUpdate(h, data, 4), CKR_HOST_MEMORY);
    script.update_throws = false;
    EXPECT_EQ(live_contexts, 0);
    EXPECT_EQ(C_DigestUpdate(h, data, 4), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(C_DigestInit(h, &sha1), CKR_OK);
}

TEST_F(SessionOps, AFailedInitLeavesTheSlotEmpty) {
    script.init = CKR_KEY_TYPE_INCONSISTENT;
    EXPECT_EQ(C_EncryptInit(h, &aes, k), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(live_contexts, 0);
    CK_ULONG len = sizeof out;
    EXPECT_EQ(C_EncryptUpdate(h, data, 16, out, &len), CKR_OPERATION_NOT_INITIALIZED);
    script.init = CKR_OK;
    EXPECT_EQ(C_EncryptInit(h, &aes, k), CKR_OK);
}

TEST_F(SessionOps, VerifyNeedsASignatureAndReportsTheContextsAnswer) {
    ASSERT_EQ(C_VerifyInit(h, &rsa, k), CKR_OK);
    EXPECT_EQ(C_Verify(h, data, 4, nullptr, 8), CKR_ARGUMENTS_BAD); // ends the operation
    CK_BYTE good[8];
    std::memset(good, 0xAB, sizeof good);
    CK_BYTE bad[8] = {};
    EXPECT_EQ(C_Verify(h, data, 4, good, 8), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(C_VerifyInit(h, &rsa, k), CKR_OK);
    EXPECT_EQ(C_Verify(h, data, 4, bad, 8), CKR_SIGNATURE_INVALID); // ends the operation
    EXPECT_EQ(C_Verify(h, data, 4, good, 8), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(C_VerifyInit(h, &rsa, k), CKR_OK);
    EXPECT_EQ(C_Verify(h, data, 4, good, 8), CKR_OK);
}

// The update of each family, as an application follows a refused init with it.
CK_RV encrypt_update(CK_SESSION_HANDLE h) {
    CK_BYTE in[16] = {};
    CK_BYTE out[512];
    CK_ULONG len = sizeof out;
    return C_EncryptUpdate(h, in, sizeof in, out, &len);
}
CK_RV decrypt_update(CK_SESSION_HANDLE h) {
    CK_BYTE in[16] = {};
    CK_BYTE out[512];
    CK_ULONG len = sizeof out;
    return C_DecryptUpdate(h, in, sizeof in, out, &len);
}
CK_RV digest_update(CK_SESSION_HANDLE h) {
    CK_BYTE in[16] = {};
    return C_DigestUpdate(h, in, sizeof in);
}
CK_RV sign_update(CK_SESSION_HANDLE h) {
    CK_BYTE in[16] = {};
    return C_SignUpdate(h, in, sizeof in);
}
CK_RV verify_update(CK_SESSION_HANDLE h) {
    CK_BYTE in[16] = {};
    return C_VerifyUpdate(h, in, sizeof in);
}
CK_RV digest_init(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE) {
    return C_DigestInit(h, m);
}

// A refused init starts nothing: no context is made and the family's update
// finds no operation. A mechanism takes only the operations its entry in the
// mechanism list flags.
TEST_F(SessionOps, InitRefusals) {
    CK_MECHANISM no_context{CKM_SHA384_KEY_DERIVATION, nullptr, 0};
    CK_MECHANISM bad_parameter{CKM_AES_CBC, nullptr, 16};
    CK_BYTE iv[16] = {};
    CK_MECHANISM huge_parameter{CKM_AES_CBC, iv, CK_ULONG{1} << 40};
    CK_MECHANISM sha256{CKM_SHA256, nullptr, 0};
    CK_MECHANISM sha1_rsa{CKM_SHA1_RSA_PKCS, nullptr, 0};
    CK_MECHANISM aes_gen{CKM_AES_KEY_GEN, nullptr, 0};
    CK_MECHANISM sha1_derive{CKM_SHA1_KEY_DERIVATION, nullptr, 0};
    CK_MECHANISM sm3_sm2{ZELT_CKM_SM3_SM2, nullptr, 0};
    CK_MECHANISM rsa_gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_MECHANISM rc4{CKM_RC4, nullptr, 0};
    struct init_case {
        const char* what;
        CK_RV (*init)(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE);
        CK_RV (*update)(CK_SESSION_HANDLE);
        CK_MECHANISM* mechanism;
        CK_OBJECT_HANDLE key;
        CK_RV expected;
    };
    const init_case cases[] = {
        {"no key", C_EncryptInit, encrypt_update, &aes, 0, CKR_KEY_HANDLE_INVALID},
        {"key with high bits", C_EncryptInit, encrypt_update, &aes, (CK_OBJECT_HANDLE{1} << 32) | k,
         CKR_KEY_HANDLE_INVALID},
        {"unknown key", C_SignInit, sign_update, &rsa, ~0UL, CKR_KEY_HANDLE_INVALID},
        {"null mechanism", C_DecryptInit, decrypt_update, nullptr, k, CKR_ARGUMENTS_BAD},
        {"null mechanism (verify)", C_VerifyInit, verify_update, nullptr, k, CKR_ARGUMENTS_BAD},
        {"parameter length without parameter", C_EncryptInit, encrypt_update, &bad_parameter, k,
         CKR_MECHANISM_PARAM_INVALID},
        {"absurd parameter length", C_EncryptInit, encrypt_update, &huge_parameter, k,
         CKR_MECHANISM_PARAM_INVALID},
        {"no context class", C_SignInit, sign_update, &no_context, k, CKR_MECHANISM_INVALID},
        {"no context class (digest)", digest_init, digest_update, &no_context, 0,
         CKR_MECHANISM_INVALID},
        {"digest mechanism cannot sign", C_SignInit, sign_update, &sha1, k, CKR_MECHANISM_INVALID},
        {"cipher mechanism cannot sign", C_SignInit, sign_update, &aes, k, CKR_MECHANISM_INVALID},
        {"cipher mechanism cannot verify", C_VerifyInit, verify_update, &aes, k,
         CKR_MECHANISM_INVALID},
        {"key-pair generation cannot verify", C_VerifyInit, verify_update, &rsa_gen, k,
         CKR_MECHANISM_INVALID},
        {"cipher mechanism cannot digest", digest_init, digest_update, &aes, 0,
         CKR_MECHANISM_INVALID},
        {"derivation cannot digest", digest_init, digest_update, &sha1_derive, 0,
         CKR_MECHANISM_INVALID},
        {"digest mechanism cannot encrypt", C_EncryptInit, encrypt_update, &sha256, k,
         CKR_MECHANISM_INVALID},
        {"signature mechanism cannot encrypt", C_EncryptInit, encrypt_update, &sm3_sm2, k,
         CKR_MECHANISM_INVALID},
        {"signature mechanism cannot decrypt", C_DecryptInit, decrypt_update, &sha1_rsa, k,
         CKR_MECHANISM_INVALID},
        {"key generation cannot decrypt", C_DecryptInit, decrypt_update, &aes_gen, k,
         CKR_MECHANISM_INVALID},
        {"stream cipher cannot sign", C_SignInit, sign_update, &rc4, k, CKR_MECHANISM_INVALID},
    };
    for (const init_case& c : cases) {
        EXPECT_EQ(c.init(h, c.mechanism, c.key), c.expected) << c.what;
        EXPECT_EQ(live_contexts, 0) << c.what;
        EXPECT_EQ(c.update(h), CKR_OPERATION_NOT_INITIALIZED) << c.what;
    }
    EXPECT_EQ(C_DigestInit(h, nullptr), CKR_ARGUMENTS_BAD);
}

// A sign-init refused for its mechanism leaves the verification it would
// have replaced running.
TEST_F(SessionOps, ARefusedSignInitReplacesNothing) {
    ASSERT_EQ(C_VerifyInit(h, &rsa, k), CKR_OK);
    EXPECT_EQ(C_SignInit(h, &sha1, k), CKR_MECHANISM_INVALID);
    EXPECT_EQ(live_contexts, 1);
    EXPECT_EQ(C_VerifyUpdate(h, data, 4), CKR_OK);
}

TEST_F(SessionOps, StepsWithoutAnOperation) {
    CK_ULONG len = sizeof out;
    CK_BYTE sig[8] = {};
    EXPECT_EQ(C_Encrypt(h, data, 4, out, &len), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(C_DecryptFinal(h, out, &len), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(C_DigestUpdate(h, data, 4), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(C_SignFinal(h, out, &len), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(C_VerifyFinal(h, sig, 8), CKR_OPERATION_NOT_INITIALIZED);
    const CK_OBJECT_HANDLE valued = key([](inner_builder& b) { b.raw(CKA_VALUE, {1}); });
    EXPECT_EQ(C_DigestKey(h, valued), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(SessionOps, ClosingTheSessionDeletesItsContexts) {
    ASSERT_EQ(C_EncryptInit(h, &aes, k), CKR_OK);
    ASSERT_EQ(C_DigestInit(h, &sha1), CKR_OK);
    ASSERT_EQ(C_VerifyInit(h, &rsa, k), CKR_OK);
    EXPECT_EQ(live_contexts, 3);
    ASSERT_EQ(pkcs11_core().close_session(h), CKR_OK);
    EXPECT_EQ(live_contexts, 0);
    CK_ULONG len = sizeof out;
    EXPECT_EQ(C_Encrypt(h, data, 4, out, &len), CKR_SESSION_HANDLE_INVALID);
}

// The token drops its key objects at logout; an operation already running
// on one of them keeps its own reference and never reads freed memory.
TEST_F(SessionOps, ARunningOperationOutlivesThePurgeOfItsKey) {
    inner_builder b;
    b.u32(CKA_CLASS, CKO_PRIVATE_KEY).u32(CKA_KEY_TYPE, CKK_RSA).flag(CKA_TOKEN, true);
    CK_RV rv = CKR_OK;
    auto private_key = pkcs11_object::create(0, CKO_PRIVATE_KEY, b.data(), b.size(), &rv);
    ASSERT_EQ(rv, CKR_OK);
    token->objects().add(private_key);
    const CK_OBJECT_HANDLE handle = private_key->handle();
    private_key.reset();
    ASSERT_EQ(C_SignInit(h, &rsa, handle), CKR_OK);
    ASSERT_EQ(token->pkcs11_token_logout(), CKR_OK);
    ASSERT_EQ(token->objects().find(handle), nullptr); // purged from the list
    CK_ULONG len = sizeof out;
    EXPECT_EQ(C_Sign(h, data, 4, out, &len), CKR_OK);
    EXPECT_EQ(C_SignInit(h, &rsa, handle), CKR_KEY_HANDLE_INVALID); // no new operation on it
}

TEST_F(SessionOps, DigestKeyFeedsTheKeyValue) {
    const CK_OBJECT_HANDLE valued = key([](inner_builder& b) { b.raw(CKA_VALUE, {9, 8, 7}); });
    const CK_OBJECT_HANDLE too_long =
        key([](inner_builder& b) { b.raw(CKA_VALUE, std::vector<uint8_t>(257, 1)); });
    ASSERT_EQ(C_DigestInit(h, &sha1), CKR_OK);
    EXPECT_EQ(C_DigestKey(h, k), CKR_ATTRIBUTE_TYPE_INVALID); // no CKA_VALUE
    EXPECT_EQ(C_DigestKey(h, too_long), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(C_DigestKey(h, 0), CKR_KEY_HANDLE_INVALID);
    ASSERT_EQ(C_DigestKey(h, valued), CKR_OK);
    EXPECT_EQ(digested, (std::vector<uint8_t>{9, 8, 7}));
}

TEST_F(SessionOps, TheModulesOwnFactoryRefusesWhatItCannotRun) {
    const CK_SESSION_HANDLE plain = open(true, 2, false);
    CK_MECHANISM no_context{CKM_SHA384_KEY_DERIVATION, nullptr, 0};
    EXPECT_EQ(C_DigestInit(plain, &no_context), CKR_MECHANISM_INVALID);
    EXPECT_EQ(C_SignInit(plain, &rsa, k), CKR_MECHANISM_INVALID); // RSA needs a token key
    EXPECT_FALSE(pkcs11_core().session_mgr().find(plain)->op_active(session_op::sign));
}

// ---- key generation, wrapping, unwrapping, derivation ----

class SessionKeys : public SessionOps {
  protected:
    CK_OBJECT_CLASS secret = CKO_SECRET_KEY;
    CK_KEY_TYPE generic = CKK_GENERIC_SECRET;
    CK_KEY_TYPE rsa_type = CKK_RSA;
    CK_BBOOL yes = CK_TRUE;
    CK_BBOOL no = CK_FALSE;
    CK_ULONG bits = 1024;
    CK_MECHANISM aes_gen{CKM_AES_KEY_GEN, nullptr, 0};
    CK_MECHANISM rsa_gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
};

TEST_F(SessionKeys, ReadOnlyPublicSessionMayGenerateOnlySessionKeys) {
    const CK_SESSION_HANDLE ro = open(false);
    CK_ATTRIBUTE token_key[] = {{CKA_TOKEN, &yes, 1}};
    CK_OBJECT_HANDLE out_key = 0;
    EXPECT_EQ(C_GenerateKey(ro, &aes_gen, token_key, 1, &out_key), CKR_SESSION_READ_ONLY);
    CK_ATTRIBUTE session_key[] = {{CKA_TOKEN, &no, 1}};
    // A session key passes the access check and reaches the context.
    EXPECT_EQ(C_GenerateKey(ro, &aes_gen, session_key, 1, &out_key), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(live_contexts, 0); // the generation context does not outlive the call
    EXPECT_EQ(out_key, 0u);
}

TEST_F(SessionKeys, KeyPairNeedsATokenPrivateKey) {
    const CK_SESSION_HANDLE user = open(true, 1);
    CK_ATTRIBUTE pub[] = {{CKA_KEY_TYPE, &rsa_type, sizeof rsa_type},
                          {CKA_MODULUS_BITS, &bits, sizeof bits}};
    CK_ATTRIBUTE priv[] = {{CKA_KEY_TYPE, &rsa_type, sizeof rsa_type}};
    CK_OBJECT_HANDLE pk = 0;
    CK_OBJECT_HANDLE sk = 0;
    EXPECT_EQ(C_GenerateKeyPair(user, &rsa_gen, pub, 2, priv, 1, &pk, &sk),
              CKR_TEMPLATE_INCONSISTENT);
    CK_ATTRIBUTE priv_token[] = {{CKA_KEY_TYPE, &rsa_type, sizeof rsa_type}, {CKA_TOKEN, &yes, 1}};
    const size_t objects_before = token->objects().size();
    // Valid templates reach the context (which cannot generate); nothing is left behind.
    EXPECT_EQ(C_GenerateKeyPair(user, &rsa_gen, pub, 2, priv_token, 2, &pk, &sk),
              CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(token->objects().size(), objects_before);
    EXPECT_EQ(live_contexts, 0);
    EXPECT_EQ(C_GenerateKeyPair(user, nullptr, pub, 2, priv_token, 2, &pk, &sk), CKR_ARGUMENTS_BAD);
}

TEST_F(SessionKeys, WrapChecksBothKeys) {
    const CK_OBJECT_HANDLE wrapper = key([](inner_builder& b) { b.flag(CKA_WRAP, true); });
    const CK_OBJECT_HANDLE no_wrap = key([](inner_builder& b) { b.flag(CKA_WRAP, false); });
    const CK_OBJECT_HANDLE extractable =
        key([](inner_builder& b) { b.flag(CKA_EXTRACTABLE, true); });
    const CK_OBJECT_HANDLE kept = key([](inner_builder& b) { b.flag(CKA_EXTRACTABLE, false); });
    CK_ULONG len = sizeof out;
    EXPECT_EQ(C_WrapKey(h, &aes, 0, extractable, out, &len), CKR_WRAPPING_KEY_HANDLE_INVALID);
    EXPECT_EQ(C_WrapKey(h, &aes, no_wrap, extractable, out, &len), CKR_WRAPPED_KEY_INVALID);
    EXPECT_EQ(C_WrapKey(h, &aes, wrapper, 0, out, &len), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(C_WrapKey(h, &aes, wrapper, kept, out, &len), CKR_KEY_NOT_WRAPPABLE);
    EXPECT_EQ(C_WrapKey(h, &aes, wrapper, extractable, out, &len), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(live_contexts, 0);
}

TEST_F(SessionKeys, UnwrapNeedsAKeyTypeAndASessionThatMayCreateTheKey) {
    const CK_OBJECT_HANDLE unwrapper = key([](inner_builder& b) { b.flag(CKA_UNWRAP, true); });
    CK_BYTE wrapped[16] = {};
    CK_OBJECT_HANDLE out_key = 0;
    CK_ATTRIBUTE no_type[] = {{CKA_CLASS, &secret, sizeof secret}};
    EXPECT_EQ(C_UnwrapKey(h, &aes, unwrapper, wrapped, 16, no_type, 1, &out_key),
              CKR_TEMPLATE_INCOMPLETE);
    CK_ULONG unavailable = CK_UNAVAILABLE_INFORMATION;
    CK_ATTRIBUTE unavailable_type[] = {{CKA_KEY_TYPE, &unavailable, sizeof unavailable}};
    EXPECT_EQ(C_UnwrapKey(h, &aes, unwrapper, wrapped, 16, unavailable_type, 1, &out_key),
              CKR_TEMPLATE_INCOMPLETE);
    CK_ATTRIBUTE plain[] = {{CKA_KEY_TYPE, &generic, sizeof generic}};
    const CK_OBJECT_HANDLE no_unwrap = key([](inner_builder& b) { b.flag(CKA_UNWRAP, false); });
    EXPECT_EQ(C_UnwrapKey(h, &aes, no_unwrap, wrapped, 16, plain, 1, &out_key),
              CKR_WRAPPED_KEY_INVALID);
    EXPECT_EQ(C_UnwrapKey(h, &aes, 0, wrapped, 16, plain, 1, &out_key),
              CKR_UNWRAPPING_KEY_HANDLE_INVALID);
    const CK_SESSION_HANDLE ro = open(false);
    CK_ATTRIBUTE to_token[] = {{CKA_KEY_TYPE, &generic, sizeof generic}, {CKA_TOKEN, &yes, 1}};
    EXPECT_EQ(C_UnwrapKey(ro, &aes, unwrapper, wrapped, 16, to_token, 2, &out_key),
              CKR_SESSION_READ_ONLY);
    EXPECT_EQ(C_UnwrapKey(h, &aes, unwrapper, wrapped, 16, plain, 1, &out_key),
              CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(out_key, 0u);
    EXPECT_EQ(live_contexts, 0);
}

TEST_F(SessionKeys, DeriveChecksBaseKeyAndAccess) {
    CK_OBJECT_HANDLE out_key = 0;
    CK_MECHANISM derive{CKM_SHA1_KEY_DERIVATION, nullptr, 0};
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &secret, sizeof secret},
                           {CKA_KEY_TYPE, &generic, sizeof generic},
                           {CKA_TOKEN, &yes, 1}};
    EXPECT_EQ(C_DeriveKey(h, &derive, 0, tmpl, 3, &out_key), CKR_KEY_HANDLE_INVALID);
    const CK_SESSION_HANDLE ro = open(false);
    EXPECT_EQ(C_DeriveKey(ro, &derive, k, tmpl, 3, &out_key), CKR_SESSION_READ_ONLY);
    EXPECT_EQ(C_DeriveKey(h, &derive, k, tmpl, 3, &out_key), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(live_contexts, 0);
}

// The key calls take a mechanism only for what its entry flags: refused
// before any context is made, and no key is left behind.
TEST_F(SessionKeys, KeyCallsTakeOnlyWhatTheMechanismListFlags) {
    const CK_SESSION_HANDLE user = open(true, 1);
    const CK_OBJECT_HANDLE wrapper = key([](inner_builder& b) {
        b.flag(CKA_WRAP, true).flag(CKA_UNWRAP, true).flag(CKA_EXTRACTABLE, true);
    });
    CK_MECHANISM aes_cbc{CKM_AES_CBC, nullptr, 0};
    CK_MECHANISM sha256{CKM_SHA256, nullptr, 0};
    CK_MECHANISM raw_rsa{CKM_RSA_X_509, nullptr, 0};
    CK_MECHANISM des3_gen{CKM_DES3_KEY_GEN, nullptr, 0};
    CK_ATTRIBUTE secret_tmpl[] = {{CKA_CLASS, &secret, sizeof secret},
                                  {CKA_KEY_TYPE, &generic, sizeof generic}};
    CK_ATTRIBUTE pub[] = {{CKA_KEY_TYPE, &rsa_type, sizeof rsa_type},
                          {CKA_MODULUS_BITS, &bits, sizeof bits}};
    CK_ATTRIBUTE priv[] = {{CKA_KEY_TYPE, &rsa_type, sizeof rsa_type}, {CKA_TOKEN, &yes, 1}};
    CK_BYTE wrapped[16] = {};
    CK_OBJECT_HANDLE a = 0;
    CK_OBJECT_HANDLE b = 0;
    CK_ULONG len = sizeof out;
    struct key_case {
        const char* what;
        std::function<CK_RV()> call;
    };
    const key_case cases[] = {
        {"C_GenerateKey with a cipher",
         [&] { return C_GenerateKey(user, &aes, secret_tmpl, 2, &a); }},
        {"C_GenerateKeyPair with PKCS #1 v1.5",
         [&] { return C_GenerateKeyPair(user, &rsa, pub, 2, priv, 2, &a, &b); }},
        {"C_GenerateKeyPair with a key generation",
         [&] { return C_GenerateKeyPair(user, &aes_gen, pub, 2, priv, 2, &a, &b); }},
        {"C_WrapKey with a digest",
         [&] { return C_WrapKey(user, &sha1, wrapper, wrapper, out, &len); }},
        {"C_WrapKey with raw RSA",
         [&] { return C_WrapKey(user, &raw_rsa, wrapper, wrapper, out, &len); }},
        {"C_UnwrapKey with a key generation",
         [&] { return C_UnwrapKey(user, &des3_gen, wrapper, wrapped, 16, secret_tmpl, 2, &a); }},
        {"C_DeriveKey with a digest",
         [&] { return C_DeriveKey(user, &sha256, wrapper, secret_tmpl, 2, &a); }},
        {"C_DeriveKey with a cipher",
         [&] { return C_DeriveKey(user, &aes_cbc, wrapper, secret_tmpl, 2, &a); }},
    };
    const size_t objects_before = token->objects().size();
    for (const key_case& c : cases) {
        EXPECT_EQ(c.call(), CKR_MECHANISM_INVALID) << c.what;
        EXPECT_EQ(live_contexts, 0) << c.what;
        EXPECT_EQ(token->objects().size(), objects_before) << c.what;
        EXPECT_EQ(a, 0u) << c.what;
    }
}

} // namespace
