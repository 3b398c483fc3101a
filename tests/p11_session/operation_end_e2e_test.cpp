// When a call ends its operation (PKCS#11 v2.20 section 11), through the built
// module on a simulated token behind pcscd: every one-shot, update and final
// call is made to fail once, by the module's own argument checks, by its key
// context or by the card, and the operation is gone afterwards (the same call
// answers CKR_OPERATION_NOT_INITIALIZED, a new init succeeds), while
// CKR_BUFFER_TOO_SMALL and a size query keep it. Digests (SM3) and ciphers
// (DES3) run in the library; signing and verification (RSA) on the card.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "cardsim_harness.h"
#include "module_loader.h"
#include "token_session.h"
#include "user_session_test.h"

namespace {

using call = std::function<CK_RV(CK_SESSION_HANDLE)>;

constexpr uint8_t ins_rsa_sign_ex = 0x1C; // "RSASignEx"

class OperationEnd : public test_support::user_session_test {
  protected:
    void SetUp() override {
        user_session_test::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(make_keys());
    }

    // A session DES3 key, an RSA pair on the token and a signature of `data`.
    ::testing::AssertionResult make_keys() {
        CK_OBJECT_CLASS secret = CKO_SECRET_KEY;
        CK_KEY_TYPE des3_type = CKK_DES3;
        CK_BBOOL yes = CK_TRUE;
        CK_BBOOL no = CK_FALSE;
        CK_BYTE value[24];
        for (size_t i = 0; i < sizeof value; ++i)
            value[i] = static_cast<CK_BYTE>(0x31 + 7 * i);
        CK_ATTRIBUTE key[] = {{CKA_CLASS, &secret, sizeof secret},
                              {CKA_KEY_TYPE, &des3_type, sizeof des3_type},
                              {CKA_TOKEN, &no, 1},
                              {CKA_ENCRYPT, &yes, 1},
                              {CKA_DECRYPT, &yes, 1},
                              {CKA_VALUE, value, sizeof value}};
        if (CK_RV rv = f->C_CreateObject(h, key, 6, &des3); rv != CKR_OK)
            return ::testing::AssertionFailure() << "C_CreateObject: " << rv;
        CK_ULONG bits = 1024;
        CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        CK_ATTRIBUTE pub_tmpl[] = {
            {CKA_TOKEN, &yes, 1}, {CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_VERIFY, &yes, 1}};
        CK_ATTRIBUTE priv_tmpl[] = {
            {CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_SIGN, &yes, 1}};
        if (CK_RV rv = f->C_GenerateKeyPair(h, &gen, pub_tmpl, 3, priv_tmpl, 3, &pub, &priv);
            rv != CKR_OK)
            return ::testing::AssertionFailure() << "C_GenerateKeyPair: " << rv;
        signature_len = sizeof signature;
        if (CK_RV rv = f->C_SignInit(h, &rsa, priv); rv != CKR_OK)
            return ::testing::AssertionFailure() << "C_SignInit: " << rv;
        if (CK_RV rv = f->C_Sign(h, data, sizeof data, signature, &signature_len); rv != CKR_OK)
            return ::testing::AssertionFailure() << "C_Sign: " << rv;
        return ::testing::AssertionSuccess();
    }

    // A read-write session of the logged-in user, one per case.
    CK_SESSION_HANDLE open() {
        CK_SESSION_HANDLE s = 0;
        EXPECT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s),
                  CKR_OK);
        return s;
    }

    // The calls of the cases, each with arguments that would be accepted.
    call digest_init = [this](CK_SESSION_HANDLE s) { return f->C_DigestInit(s, &sm3); };
    call encrypt_init = [this](CK_SESSION_HANDLE s) {
        return f->C_EncryptInit(s, &des3_ecb, des3);
    };
    call decrypt_init = [this](CK_SESSION_HANDLE s) {
        return f->C_DecryptInit(s, &des3_ecb, des3);
    };
    call sign_init = [this](CK_SESSION_HANDLE s) { return f->C_SignInit(s, &rsa, priv); };
    call verify_init = [this](CK_SESSION_HANDLE s) { return f->C_VerifyInit(s, &rsa, pub); };
    call digest = [this](CK_SESSION_HANDLE s) {
        CK_ULONG n = sizeof out;
        return f->C_Digest(s, data, sizeof data, out, &n);
    };
    call digest_update = [this](CK_SESSION_HANDLE s) {
        return f->C_DigestUpdate(s, data, sizeof data);
    };
    call digest_final = [this](CK_SESSION_HANDLE s) {
        CK_ULONG n = sizeof out;
        return f->C_DigestFinal(s, out, &n);
    };
    call encrypt = [this](CK_SESSION_HANDLE s) {
        CK_ULONG n = sizeof out;
        return f->C_Encrypt(s, data, sizeof data, out, &n);
    };
    call encrypt_update = [this](CK_SESSION_HANDLE s) {
        CK_ULONG n = sizeof out;
        return f->C_EncryptUpdate(s, data, sizeof data, out, &n);
    };
    call encrypt_final = [this](CK_SESSION_HANDLE s) {
        CK_ULONG n = sizeof out;
        return f->C_EncryptFinal(s, out, &n);
    };
    call decrypt = [this](CK_SESSION_HANDLE s) {
        CK_ULONG n = sizeof out;
        return f->C_Decrypt(s, data, sizeof data, out, &n);
    };
    call decrypt_update = [this](CK_SESSION_HANDLE s) {
        CK_ULONG n = sizeof out;
        return f->C_DecryptUpdate(s, data, sizeof data, out, &n);
    };
    call decrypt_final = [this](CK_SESSION_HANDLE s) {
        CK_ULONG n = sizeof out;
        return f->C_DecryptFinal(s, out, &n);
    };
    call sign = [this](CK_SESSION_HANDLE s) {
        CK_ULONG n = sizeof out;
        return f->C_Sign(s, data, sizeof data, out, &n);
    };
    call sign_update = [this](CK_SESSION_HANDLE s) {
        return f->C_SignUpdate(s, data, sizeof data);
    };
    call sign_final = [this](CK_SESSION_HANDLE s) {
        CK_ULONG n = sizeof out;
        return f->C_SignFinal(s, out, &n);
    };
    call verify = [this](CK_SESSION_HANDLE s) {
        return f->C_Verify(s, data, sizeof data, signature, signature_len);
    };
    call verify_update = [this](CK_SESSION_HANDLE s) {
        return f->C_VerifyUpdate(s, data, sizeof data);
    };
    call verify_final = [this](CK_SESSION_HANDLE s) {
        return f->C_VerifyFinal(s, signature, signature_len);
    };
    // Runs the calls in order; the first answer that is not CKR_OK.
    static call then(std::vector<call> calls) {
        return [calls](CK_SESSION_HANDLE s) {
            for (const call& c : calls)
                if (CK_RV rv = c(s); rv != CKR_OK) return rv;
            return CK_RV{CKR_OK};
        };
    }

    CK_OBJECT_HANDLE des3 = 0;
    CK_OBJECT_HANDLE pub = 0;
    CK_OBJECT_HANDLE priv = 0;
    CK_MECHANISM sm3{ZELT_CKM_SM3, nullptr, 0};
    CK_MECHANISM des3_ecb{CKM_DES3_ECB, nullptr, 0};
    CK_MECHANISM rsa{CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_BYTE data[16] = {'e', 'n', 'd', 's', ' ', 'o', 'n', ' ',
                        'e', 'r', 'r', 'o', 'r', '.', '.', '.'};
    CK_BYTE out[256] = {};
    CK_BYTE signature[256] = {};
    CK_ULONG signature_len = 0;
};

struct ending_case {
    const char* what;
    call start;              // initialises the operation(s) and feeds what the case needs
    call fail;               // the failing call
    CK_RV answer;            // and its answer
    std::vector<call> ended; // calls that then find no operation (the same call first)
    call init_again;         // a new init, which succeeds
};

TEST_F(OperationEnd, AnErrorEndsTheOperationOfEveryOneShotUpdateAndFinalCall) {
    CK_BYTE fifteen[15] = {};
    CK_ULONG n = sizeof out;
    const std::vector<ending_case> cases = {
        {"C_Digest without a length",
         digest_init,
         [&](CK_SESSION_HANDLE s) { return f->C_Digest(s, data, sizeof data, out, nullptr); },
         CKR_ARGUMENTS_BAD,
         {digest},
         digest_init},
        {"C_DigestUpdate without data",
         digest_init,
         [&](CK_SESSION_HANDLE s) { return f->C_DigestUpdate(s, nullptr, 4); },
         CKR_ARGUMENTS_BAD,
         {digest_update},
         digest_init},
        {"C_DigestFinal without a length",
         then({digest_init, digest_update}),
         [&](CK_SESSION_HANDLE s) { return f->C_DigestFinal(s, out, nullptr); },
         CKR_ARGUMENTS_BAD,
         {digest_final},
         digest_init},
        {"C_Encrypt of a part block (the key context)",
         encrypt_init,
         [&](CK_SESSION_HANDLE s) { return f->C_Encrypt(s, fifteen, 15, out, &(n = sizeof out)); },
         CKR_DATA_LEN_RANGE,
         {encrypt},
         decrypt_init},
        {"C_Encrypt without data",
         encrypt_init,
         [&](CK_SESSION_HANDLE s) { return f->C_Encrypt(s, nullptr, 16, out, &(n = sizeof out)); },
         CKR_ARGUMENTS_BAD,
         {encrypt},
         encrypt_init},
        {"C_EncryptUpdate without a length",
         encrypt_init,
         [&](CK_SESSION_HANDLE s) { return f->C_EncryptUpdate(s, data, 16, out, nullptr); },
         CKR_ARGUMENTS_BAD,
         {encrypt_update},
         encrypt_init},
        {"C_EncryptFinal after a part block (the key context)",
         then({encrypt_init,
               [&](CK_SESSION_HANDLE s) {
                   return f->C_EncryptUpdate(s, fifteen, 15, out, &(n = sizeof out));
               }}),
         encrypt_final,
         CKR_DATA_LEN_RANGE,
         {encrypt_final},
         encrypt_init},
        {"C_EncryptFinal without a length",
         then({encrypt_init, encrypt_update}),
         [&](CK_SESSION_HANDLE s) { return f->C_EncryptFinal(s, out, nullptr); },
         CKR_ARGUMENTS_BAD,
         {encrypt_final},
         encrypt_init},
        {"C_Decrypt without data",
         decrypt_init,
         [&](CK_SESSION_HANDLE s) { return f->C_Decrypt(s, nullptr, 16, out, &(n = sizeof out)); },
         CKR_ARGUMENTS_BAD,
         {decrypt},
         encrypt_init},
        {"C_DecryptUpdate without data",
         decrypt_init,
         [&](CK_SESSION_HANDLE s) {
             return f->C_DecryptUpdate(s, nullptr, 16, out, &(n = sizeof out));
         },
         CKR_ARGUMENTS_BAD,
         {decrypt_update},
         decrypt_init},
        {"C_DecryptFinal without a length",
         then({decrypt_init, decrypt_update}),
         [&](CK_SESSION_HANDLE s) { return f->C_DecryptFinal(s, out, nullptr); },
         CKR_ARGUMENTS_BAD,
         {decrypt_final},
         decrypt_init},
        {"C_Sign without a length",
         sign_init,
         [&](CK_SESSION_HANDLE s) { return f->C_Sign(s, data, sizeof data, out, nullptr); },
         CKR_ARGUMENTS_BAD,
         {sign},
         verify_init},
        // The card's status word reaches the application as the device API
        // reports it.
        {"C_Sign the card refuses",
         then({sign_init,
               [&](CK_SESSION_HANDLE) {
                   token_.sim().inject_status_word_on(ins_rsa_sign_ex, 0x6F00);
                   return CK_RV{CKR_OK};
               }}),
         sign,
         0x6F00,
         {sign},
         verify_init},
        {"C_SignUpdate without data",
         sign_init,
         [&](CK_SESSION_HANDLE s) { return f->C_SignUpdate(s, nullptr, 4); },
         CKR_ARGUMENTS_BAD,
         {sign_update},
         verify_init},
        {"C_SignFinal without a length",
         then({sign_init, sign_update}),
         [&](CK_SESSION_HANDLE s) { return f->C_SignFinal(s, out, nullptr); },
         CKR_ARGUMENTS_BAD,
         {sign_final},
         verify_init},
        {"C_Verify without a signature",
         verify_init,
         [&](CK_SESSION_HANDLE s) { return f->C_Verify(s, data, sizeof data, nullptr, 128); },
         CKR_ARGUMENTS_BAD,
         {verify},
         verify_init},
        {"C_Verify of a wrong signature (the card)",
         verify_init,
         [&](CK_SESSION_HANDLE s) { return f->C_Verify(s, fifteen, 15, signature, signature_len); },
         CKR_SIGNATURE_INVALID,
         {verify},
         verify_init},
        {"C_VerifyUpdate without data",
         verify_init,
         [&](CK_SESSION_HANDLE s) { return f->C_VerifyUpdate(s, nullptr, 4); },
         CKR_ARGUMENTS_BAD,
         {verify_update},
         verify_init},
        {"C_VerifyFinal without a signature",
         then({verify_init, verify_update}),
         [&](CK_SESSION_HANDLE s) { return f->C_VerifyFinal(s, nullptr, 128); },
         CKR_ARGUMENTS_BAD,
         {verify_final},
         verify_init},
        // A combined call stands for two updates: both operations end.
        {"C_DigestEncryptUpdate without data",
         then({digest_init, encrypt_init}),
         [&](CK_SESSION_HANDLE s) {
             return f->C_DigestEncryptUpdate(s, nullptr, 16, out, &(n = sizeof out));
         },
         CKR_ARGUMENTS_BAD,
         {[&](CK_SESSION_HANDLE s) {
              return f->C_DigestEncryptUpdate(s, data, 16, out, &(n = sizeof out));
          },
          digest_update},
         then({digest_init, encrypt_init})},
    };
    for (const ending_case& c : cases) {
        SCOPED_TRACE(c.what);
        const CK_SESSION_HANDLE s = open();
        ASSERT_EQ(c.start(s), CKR_OK);
        EXPECT_EQ(c.fail(s), c.answer);
        for (const call& probe : c.ended)
            EXPECT_EQ(probe(s), CKR_OPERATION_NOT_INITIALIZED);
        EXPECT_EQ(c.init_again(s), CKR_OK);
        EXPECT_EQ(f->C_CloseSession(s), CKR_OK);
    }
}

// A mechanism takes only the operations C_GetMechanismInfo flags for it:
// any other init or key call is refused and begins nothing, and the calls
// that would follow find no operation (the caller's length stays as it was).
TEST_F(OperationEnd, AnInitOrKeyCallItsMechanismIsNotFlaggedForBeginsNothing) {
    CK_MECHANISM aes_ecb{CKM_AES_ECB, nullptr, 0};
    CK_MECHANISM sha256{CKM_SHA256, nullptr, 0};
    CK_MECHANISM sha1_rsa{CKM_SHA1_RSA_PKCS, nullptr, 0};
    struct refused_case {
        const char* what;
        call init;
        std::vector<call> ended;
    };
    const std::vector<refused_case> cases = {
        {"C_DigestInit with a cipher",
         [&](CK_SESSION_HANDLE s) { return f->C_DigestInit(s, &aes_ecb); },
         {digest_update, digest_final, digest}},
        {"C_EncryptInit with a digest",
         [&](CK_SESSION_HANDLE s) { return f->C_EncryptInit(s, &sha256, des3); },
         {encrypt_update, encrypt_final, encrypt}},
        {"C_DecryptInit with a signature mechanism",
         [&](CK_SESSION_HANDLE s) { return f->C_DecryptInit(s, &sha1_rsa, priv); },
         {decrypt_update, decrypt_final, decrypt}},
        {"C_SignInit with a cipher",
         [&](CK_SESSION_HANDLE s) { return f->C_SignInit(s, &des3_ecb, des3); },
         {sign_update, sign_final}},
        {"C_VerifyInit with a digest",
         [&](CK_SESSION_HANDLE s) { return f->C_VerifyInit(s, &sm3, pub); },
         {verify_update, verify_final}},
    };
    for (const refused_case& c : cases) {
        SCOPED_TRACE(c.what);
        const CK_SESSION_HANDLE s = open();
        EXPECT_EQ(c.init(s), CKR_MECHANISM_INVALID);
        for (const call& probe : c.ended)
            EXPECT_EQ(probe(s), CKR_OPERATION_NOT_INITIALIZED);
        EXPECT_EQ(f->C_CloseSession(s), CKR_OK);
    }
    CK_ULONG n = 512;
    ASSERT_EQ(f->C_DigestInit(h, &aes_ecb), CKR_MECHANISM_INVALID);
    EXPECT_EQ(f->C_DigestFinal(h, out, &n), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(n, 512u);

    // The library's triple DES context could make keys and the card's digest
    // context derive them, but their mechanisms are not listed for it;
    // nothing is made.
    CK_OBJECT_CLASS secret = CKO_SECRET_KEY;
    CK_KEY_TYPE generic = CKK_GENERIC_SECRET;
    CK_ULONG length = 24;
    CK_BBOOL no = CK_FALSE;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &secret, sizeof secret},
                           {CKA_KEY_TYPE, &generic, sizeof generic},
                           {CKA_VALUE_LEN, &length, sizeof length},
                           {CKA_TOKEN, &no, 1}};
    CK_OBJECT_HANDLE made = 0;
    EXPECT_EQ(f->C_GenerateKey(h, &des3_ecb, tmpl, 4, &made), CKR_MECHANISM_INVALID);
    EXPECT_EQ(f->C_DeriveKey(h, &sha256, des3, tmpl, 4, &made), CKR_MECHANISM_INVALID);
    EXPECT_EQ(made, 0u);
    // SM3 is listed for derivation.
    EXPECT_EQ(f->C_DeriveKey(h, &sm3, des3, tmpl, 4, &made), CKR_OK);
    EXPECT_NE(made, 0u);
}

struct kept_case {
    const char* what;
    call start;   // initialises the operation
    call keep;    // answers CKR_BUFFER_TOO_SMALL, or CKR_OK to a size query
    CK_RV answer; // its answer
    call busy;    // an init that finds the operation still running
    call finish;  // the call with room for the output, which succeeds
};

TEST_F(OperationEnd, AShortBufferOrASizeQueryKeepsTheOperation) {
    CK_ULONG n = 0;
    const auto short_buffer = [&]() -> CK_ULONG* { return &(n = 1); };
    const auto any_length = [&]() -> CK_ULONG* { return &(n = 0); };
    const std::vector<kept_case> cases = {
        {"C_Digest, short buffer", digest_init,
         [&](CK_SESSION_HANDLE s) { return f->C_Digest(s, data, 16, out, short_buffer()); },
         CKR_BUFFER_TOO_SMALL, digest_init, digest},
        {"C_Digest, size query", digest_init,
         [&](CK_SESSION_HANDLE s) { return f->C_Digest(s, data, 16, nullptr, any_length()); },
         CKR_OK, digest_init, digest},
        {"C_DigestFinal, short buffer", then({digest_init, digest_update}),
         [&](CK_SESSION_HANDLE s) { return f->C_DigestFinal(s, out, short_buffer()); },
         CKR_BUFFER_TOO_SMALL, digest_init, digest_final},
        {"C_DigestFinal, size query", then({digest_init, digest_update}),
         [&](CK_SESSION_HANDLE s) { return f->C_DigestFinal(s, nullptr, any_length()); }, CKR_OK,
         digest_init, digest_final},
        {"C_Encrypt, short buffer", encrypt_init,
         [&](CK_SESSION_HANDLE s) { return f->C_Encrypt(s, data, 16, out, short_buffer()); },
         CKR_BUFFER_TOO_SMALL, decrypt_init, encrypt},
        {"C_Encrypt, size query", encrypt_init,
         [&](CK_SESSION_HANDLE s) { return f->C_Encrypt(s, data, 16, nullptr, any_length()); },
         CKR_OK, encrypt_init, encrypt},
        {"C_EncryptUpdate, short buffer", encrypt_init,
         [&](CK_SESSION_HANDLE s) { return f->C_EncryptUpdate(s, data, 16, out, short_buffer()); },
         CKR_BUFFER_TOO_SMALL, encrypt_init, then({encrypt_update, encrypt_final})},
        {"C_DecryptFinal, size query", then({decrypt_init, decrypt_update}),
         [&](CK_SESSION_HANDLE s) { return f->C_DecryptFinal(s, nullptr, any_length()); }, CKR_OK,
         decrypt_init, decrypt_final},
        {"C_Sign, short buffer", sign_init,
         [&](CK_SESSION_HANDLE s) { return f->C_Sign(s, data, 16, out, short_buffer()); },
         CKR_BUFFER_TOO_SMALL, verify_init, sign},
        {"C_Sign, size query", sign_init,
         [&](CK_SESSION_HANDLE s) { return f->C_Sign(s, data, 16, nullptr, any_length()); }, CKR_OK,
         verify_init, sign},
        {"C_SignFinal, short buffer", then({sign_init, sign_update}),
         [&](CK_SESSION_HANDLE s) { return f->C_SignFinal(s, out, short_buffer()); },
         CKR_BUFFER_TOO_SMALL, verify_init, sign_final},
    };
    for (const kept_case& c : cases) {
        SCOPED_TRACE(c.what);
        const CK_SESSION_HANDLE s = open();
        ASSERT_EQ(c.start(s), CKR_OK);
        EXPECT_EQ(c.keep(s), c.answer);
        EXPECT_EQ(c.busy(s), CKR_OPERATION_ACTIVE);
        EXPECT_EQ(c.finish(s), CKR_OK);
        EXPECT_EQ(f->C_CloseSession(s), CKR_OK);
    }
}

} // namespace
