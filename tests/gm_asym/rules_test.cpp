// Argument rules and reply checks of the key functions: null pointers are
// refused before anything is sent, and a 9000 reply without the layout's
// bytes is a failure that writes nothing to the caller's record.
#include <functional>

#include "asym_fixture.h"

namespace asym_test {
namespace {

struct call_case {
    const char* label;
    std::function<uint32_t(DEVHANDLE, HCONTAINER)> call;
    uint32_t expected;
};

class key_rules : public asym_token {
  protected:
    // A record filled with a marker, to see whether anything was written.
    struct outputs {
        RSAPUBLICKEYBLOB rsa;
        ECCPUBLICKEYBLOB ecc;
        ECCSIGNATUREBLOB sig;
        uint8_t buffer[300];
        uint32_t length;
        outputs() { std::memset(this, 0x6B, sizeof *this); }
        bool untouched() const {
            outputs fresh;
            return std::memcmp(this, &fresh, sizeof fresh) == 0;
        }
    };
};

// Null records, buffers and length pointers.
TEST_F(key_rules, null_arguments_refused_before_the_card) {
    static uint8_t data[256] = {1};
    static uint32_t length = 256;
    static RSAPUBLICKEYBLOB rsa_key = [] {
        RSAPUBLICKEYBLOB k{};
        k.BitLen = 2048;
        return k;
    }();
    static ECCPUBLICKEYBLOB ecc_key{};
    static ECCSIGNATUREBLOB sig{};
    const call_case cases[] = {
        {"gen rsa, no record",
         [](DEVHANDLE, HCONTAINER c) { return gm_gen_rsa_key_pair(c, 1, 2048, nullptr); },
         SAR_INVALIDPARAMERR},
        {"import rsa, no record",
         [](DEVHANDLE, HCONTAINER c) { return gm_import_plain_rsa_key_pair(c, 1, nullptr); },
         SAR_INVALIDPARAMERR},
        {"sign, no length",
         [](DEVHANDLE, HCONTAINER c) { return gm_rsa_sign_data(c, 1, 4, data, 32, data, nullptr); },
         SAR_INVALIDPARAMERR},
        {"sign, no data",
         [](DEVHANDLE, HCONTAINER c) {
             return gm_rsa_sign_data(c, 1, 4, nullptr, 32, data, &length);
         },
         SAR_INVALIDPARAMERR},
        {"sign, hash id past one byte",
         [](DEVHANDLE, HCONTAINER c) {
             return gm_rsa_sign_data(c, 1, 0x104, data, 32, data, &length);
         },
         SAR_INVALIDPARAMERR},
        {"decrypt, no input",
         [](DEVHANDLE, HCONTAINER c) {
             return gm_rsa_private_decrypt(c, 1, nullptr, 128, data, &length);
         },
         SAR_INVALIDPARAMERR},
        {"raw private, no output",
         [](DEVHANDLE, HCONTAINER c) {
             return gm_rsa_private_operation(c, 1, data, 128, nullptr, &length);
         },
         SAR_INVALIDPARAMERR},
        {"export, no length",
         [](DEVHANDLE, HCONTAINER c) { return SKF_ExportPublicKey(c, 1, data, nullptr); },
         SAR_INVALIDPARAMERR},
        {"import ecc, no private key",
         [](DEVHANDLE, HCONTAINER c) {
             return gm_import_plain_ecc_key_pair(c, 1, &ecc_key, nullptr);
         },
         SAR_INVALIDPARAMERR},
        {"ecc sign, no record",
         [](DEVHANDLE, HCONTAINER c) { return gm_ecc_sign_data(c, 1, data, 32, nullptr); },
         SAR_INVALIDPARAMERR},
        {"ecc decrypt, no record",
         [](DEVHANDLE, HCONTAINER c) {
             return gm_ecc_private_decrypt(c, 1, nullptr, data, &length);
         },
         SAR_INVALIDPARAMERR},
        {"rsa public op, no key",
         [](DEVHANDLE d, HCONTAINER) {
             return SKF_ExtRSAPubKeyOperation(d, nullptr, data, 256, data, &length);
         },
         SAR_INVALIDPARAMERR},
        {"rsa public op, input not the modulus length",
         [](DEVHANDLE d, HCONTAINER) {
             return SKF_ExtRSAPubKeyOperation(d, &rsa_key, data, 128, data, &length);
         },
         SAR_INVALIDPARAMERR},
        {"rsa public op, no length",
         [](DEVHANDLE d, HCONTAINER) {
             return SKF_ExtRSAPubKeyOperation(d, &rsa_key, data, 256, data, nullptr);
         },
         SAR_INVALIDPARAMERR},
        {"rsa verify, signature of 200",
         [](DEVHANDLE d, HCONTAINER) { return gm_rsa_verify(d, &rsa_key, 4, data, 32, data, 200); },
         SAR_INVALIDPARAMERR},
        {"rsa verify, no data",
         [](DEVHANDLE d, HCONTAINER) {
             return gm_rsa_verify(d, &rsa_key, 4, nullptr, 32, data, 256);
         },
         SAR_INVALIDPARAMERR},
        {"rsa verify, device 0",
         [](DEVHANDLE, HCONTAINER) { return gm_rsa_verify(0, &rsa_key, 4, data, 32, data, 256); },
         SAR_INVALIDPARAMERR},
        {"ecc verify, no signature",
         [](DEVHANDLE d, HCONTAINER) { return SKF_ECCVerify(d, &ecc_key, data, 32, nullptr); },
         SAR_INVALIDPARAMERR},
        {"ecc encrypt, no record",
         [](DEVHANDLE d, HCONTAINER) { return SKF_ExtECCEncrypt(d, &ecc_key, data, 16, nullptr); },
         SAR_INVALIDPARAMERR},
        {"ecc encrypt, empty text",
         [](DEVHANDLE d, HCONTAINER) {
             uint8_t record[ECCCIPHERBLOB_FIXED_SIZE + 1];
             return SKF_ExtECCEncrypt(d, &ecc_key, data, 0,
                                      reinterpret_cast<ECCCIPHERBLOB*>(record));
         },
         SAR_INDATALENERR},
        {"ecc verify, unknown device",
         [](DEVHANDLE, HCONTAINER c) { return SKF_ECCVerify(c, &ecc_key, data, 32, &sig); },
         SAR_INVALIDPARAMERR},
        {"export, unknown container",
         [](DEVHANDLE d, HCONTAINER) { return SKF_ExportPublicKey(d, 1, data, &length); },
         SAR_INVALIDHANDLEERR},
    };
    for (const call_case& c : cases)
        EXPECT_EQ(c.call(dev, cont), c.expected) << c.label;
    EXPECT_TRUE(key_commands_sent().empty()) << ::testing::PrintToString(key_commands_sent());
}

// The card answers 9000 with no data: every function that reads a reply
// layout fails (SAR_FAIL) and leaves the caller's outputs as they were.
TEST_F(key_rules, empty_success_reply_is_a_failure) {
    RSAPUBLICKEYBLOB rsa;
    ASSERT_EQ(gm_gen_rsa_key_pair(cont, 1, 1024, &rsa), SAR_OK);
    ECCPUBLICKEYBLOB ecc;
    ASSERT_EQ(SKF_GenECCKeyPair(cont, SGD_SM2_2, &ecc), SAR_OK);
    std::memset(rsa.Modulus, 0, 128);
    const bytes block(128, 0x01);

    using body = std::function<uint32_t(outputs&)>;
    const std::pair<const char*, body> cases[] = {
        {"gm_gen_rsa_key_pair",
         [&](outputs& o) { return gm_gen_rsa_key_pair(cont, 1, 1024, &o.rsa); }},
        {"SKF_ExportPublicKey",
         [&](outputs& o) { return SKF_ExportPublicKey(cont, 1, o.buffer, &o.length); }},
        {"SKF_GenECCKeyPair",
         [&](outputs& o) { return SKF_GenECCKeyPair(cont, SGD_SM2_2, &o.ecc); }},
        // RSA results are as long as the modulus; an empty one is no signature.
        {"gm_rsa_sign_data",
         [&](outputs& o) {
             return gm_rsa_sign_data(cont, 1, 4, block.data(), 32, o.buffer, &o.length);
         }},
        {"gm_rsa_private_operation",
         [&](outputs& o) {
             return gm_rsa_private_operation(cont, 1, block.data(), 128, o.buffer, &o.length);
         }},
        {"SKF_ExtRSAPubKeyOperation",
         [&](outputs& o) {
             return SKF_ExtRSAPubKeyOperation(dev, &rsa, block.data(), 128, o.buffer, &o.length);
         }},
        {"gm_ecc_sign_data",
         [&](outputs& o) { return gm_ecc_sign_data(cont, 0, block.data(), 32, &o.sig); }},
        {"gm_ecc_private_decrypt",
         [&](outputs& o) {
             bytes record(ECCCIPHERBLOB_FIXED_SIZE + 16, 0);
             reinterpret_cast<ECCCIPHERBLOB*>(record.data())->CipherLen = 16;
             return gm_ecc_private_decrypt(cont, 0,
                                           reinterpret_cast<const ECCCIPHERBLOB*>(record.data()),
                                           o.buffer, &o.length);
         }},
        {"SKF_ExtECCEncrypt",
         [&](outputs& o) {
             // The record goes in the marker buffer: 164 + 16 bytes.
             const uint32_t rc = SKF_ExtECCEncrypt(dev, &ecc, block.data(), 16,
                                                   reinterpret_cast<ECCCIPHERBLOB*>(o.buffer));
             std::memset(o.buffer, 0x6B,
                         sizeof o.buffer); // cleared by rule; the result is what counts
             return rc;
         }},
    };
    for (const auto& [label, call] : cases) {
        outputs o;
        sim().inject_status_word(0x9000, 1);
        EXPECT_EQ(call(o), SAR_FAIL) << label;
        EXPECT_TRUE(o.untouched()) << label;
        sim().clear_faults();
    }
}

} // namespace
} // namespace asym_test
