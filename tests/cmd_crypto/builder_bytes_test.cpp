// The exact bytes every builder of the computing commands produces, with
// the boundaries of the length fields and of the command data area.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "cmd_crypto.h"
#include "dispatch.h"
#include "test_hex.h"
#include "transport.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes hex(const char* text) {
    return test_support::from_hex(text);
}

bytes seq(size_t n, uint8_t first = 0) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(first + i);
    return b;
}

const bytes k2 = {0xA1, 0xA2};
const bytes d1 = {0xD1};
const bytes s3 = {0x51, 0x52, 0x53};

struct byte_case {
    const char* label;
    std::function<apdu_holder()> build;
    std::string expected; // hex; "" = the builder must refuse
    const char* name;
    int32_t timeout = 0;
};

// clang-format off
const byte_case cases[] = {
    {"gen_rsa_2048", [] { return build_gen_rsa_key_pair_ex(0x0102, 0x0304, 2048, 1); },
     "C0 26 01 00 00 00 06 0102 0304 0800 0000", "GenRSAKeyPairEx", 30000},
    {"gen_rsa_bits_ffff", [] { return build_gen_rsa_key_pair_ex(1, 2, 0xFFFF, 0); },
     "C0 26 00 00 00 00 06 0001 0002 FFFF 0000", "GenRSAKeyPairEx", 30000},
    {"gen_rsa_bits_over_2_bytes", [] { return build_gen_rsa_key_pair_ex(1, 2, 0x10000, 0); }, "", nullptr},
    {"import_rsa_header", [] { return build_import_ext_rsa_key_pair(1, 2, 0); },
     "C0 20 00 00 00 00 04 0001 0002", "ImportExtRSAKeyPair"},
    {"rsa_sign", [] { return build_rsa_sign_ex(1, 2, 1, 3, k2); },
     "C0 1C 01 03 00 00 06 0001 0002 A1A2 0000", "RSASignEx"},
    {"rsa_private", [] { return build_rsa_private(1, 2, 1, d1); },
     "C0 16 01 00 00 00 05 0001 0002 D1 0000", "RSAPrivate"},
    {"rsa_decrypt", [] { return build_rsa_decrypt(1, 2, 0, d1); },
     "C0 1A 00 00 00 00 05 0001 0002 D1 0000", "RSADecrypt"},
    {"rsa_verify", [] { return build_rsa_verify(2, 3, k2, d1, s3); },
     "80 5E 02 03 00 00 0C A1A2 00000001 D1 0003 515253", "RSAVerify"},
    {"rsa_verify_empty_signature", [] { return build_rsa_verify(2, 3, k2, d1, {}); },
     "80 5E 02 03 00 00 09 A1A2 00000001 D1 0000", "RSAVerify"},
    {"rsa_public_op", [] { return build_ex_rsa_pub_key_operation(k2, s3); },
     "80 60 00 00 00 00 09 A1A2 00000003 515253 0000", "ExRSAPubKeyOperation"},
    {"delete_key_pair", [] { return build_delete_key_pair(1, 2, 1); },
     "C0 22 01 00 00 00 04 0001 0002", "DeleteKeyPair"},
    {"gen_ecc", [] { return build_gen_ecc_key_pair(1, 2, 256); },
     "80 70 00 00 00 00 08 0001 0002 00000100 0000", "GenECCKeyPair", 2000},
    {"import_ecc", [] { return build_import_ext_ecc_key_pair(1, 2, 1, s3); },
     "C0 2C 01 00 00 00 07 0001 0002 515253", "ImportExtECCKeyPair"},
    {"ecc_sign_mode_2_no_count", [] { return build_ecc_sign_data_ex(1, 2, 2, 1, d1, k2); },
     "C0 2A 02 01 00 00 06 0001 0002 A1A2", "ECCSignDataEx"},
    {"ecc_sign_mode_1_counted", [] { return build_ecc_sign_data_ex(1, 2, 1, 0, d1, k2); },
     "C0 2A 01 00 00 00 0B 0001 0002 00000001 D1 A1A2", "ECCSignDataEx"},
    {"ecc_verify", [] { return build_ecc_verify(k2, d1, s3); },
     "80 76 00 00 00 00 0A A1A2 00000001 D1 515253", "ECCVerify"},
    {"ecc_encrypt", [] { return build_ex_ecc_encrypt(k2, d1); },
     "80 7A 00 00 00 00 07 A1A2 00000001 D1 0000", "ExECCEncrypt"},
    {"ecc_decrypt", [] { return build_ecc_pri_decrypt(1, 2, 0, s3); },
     "C0 28 00 00 00 00 0B 0001 0002 00000003 515253 0000", "ECCPriDecrypt"},
    {"export_public_key", [] { return build_export_public_key(1, 2, 1); },
     "80 88 01 00 00 00 04 0001 0002 0000", "ExportPublicKey"},
    {"set_session_key_16", [] { return build_set_session_key(1, 2, 0x401, seq(16)); },
     "C0 12 00 00 00 00 28 0001 0002 00000401 000102030405060708090A0B0C0D0E0F"
     " 00000000000000000000000000000000 0000", "SetSessionKey"},
    {"set_session_key_32", [] { return build_set_session_key(1, 2, 0x80000141, seq(32, 0x20)); },
     "C0 12 00 00 00 00 28 0001 0002 80000141 202122232425262728292A2B2C2D2E2F"
     " 303132333435363738393A3B3C3D3E3F 0000", "SetSessionKey"},
    {"set_session_key_33_refused", [] { return build_set_session_key(1, 2, 0x401, seq(33)); }, "", nullptr},
    {"set_session_key_40_refused", [] { return build_set_session_key(1, 2, 0x401, seq(40)); }, "", nullptr},
    {"destroy_session_key", [] { return build_destroy_session_key(1, 2, 3); },
     "80 C4 00 00 00 00 06 0001 0002 0003", "DestroySessionKey"},
    {"encrypt_init", [] { return build_cipher_init(crypto_cmd::encrypt_init, 1, 2, 3, {k2, 1, 0}); },
     "80 A4 00 00 00 00 12 0001 0002 0003 0002 A1A2 00000001 00000000", "EncryptInit"},
    {"decrypt_init_has_le", [] { return build_cipher_init(crypto_cmd::decrypt_init, 1, 2, 3, {{}, 0, 128}); },
     "80 AC 00 00 00 00 10 0001 0002 0003 0000 00000000 00000080 0000", "DecryptInit"},
    {"mac_init_iv_32", [] { return build_cipher_init(crypto_cmd::mac_init, 1, 2, 3, {seq(32), 0, 0}); },
     "80 BC 00 00 00 00 30 0001 0002 0003 0020 000102030405060708090A0B0C0D0E0F"
     " 101112131415161718191A1B1C1D1E1F 00000000 00000000", "MacInit"},
    {"mac_init_iv_33_refused", [] { return build_cipher_init(crypto_cmd::mac_init, 1, 2, 3, {seq(33), 0, 0}); },
     "", nullptr},
    {"init_with_a_data_command_refused", [] { return build_cipher_init(crypto_cmd::digest, 1, 2, 3, {}); }, "", nullptr},
    {"encrypt_update", [] { return build_cipher_data(crypto_cmd::encrypt_update, 1, 2, 3, d1); },
     "80 A8 00 00 00 00 07 0001 0002 0003 D1 0000", "EncryptUpdate"},
    {"encrypt_final_no_data", [] { return build_cipher_data(crypto_cmd::encrypt_final, 1, 2, 3, {}); },
     "80 AA 00 00 00 00 06 0001 0002 0003 0000", "EncryptFinal"},
    {"decrypt_update", [] { return build_cipher_data(crypto_cmd::decrypt_update, 1, 2, 3, d1); },
     "80 B0 00 00 00 00 07 0001 0002 0003 D1 0000", "DecryptUpdate"},
    {"decrypt_final", [] { return build_cipher_data(crypto_cmd::decrypt_final, 1, 2, 3, d1); },
     "80 B2 00 00 00 00 07 0001 0002 0003 D1 0000", "DecryptFinal"},
    {"mac_update", [] { return build_cipher_data(crypto_cmd::mac_update, 1, 2, 3, k2); },
     "80 C0 00 00 00 00 08 0001 0002 0003 A1A2", "MacUpdate"},
    {"mac_final_le_16", [] { return build_mac_final(1, 2, 3, {}, 16); },
     "80 C2 00 00 00 00 06 0001 0002 0003 0010", "MacFinal"},
    {"mac_final_le_4", [] { return build_mac_final(1, 2, 3, {}, 4); },
     "80 C2 00 00 00 00 06 0001 0002 0003 0004", "MacFinal"},
    {"digest_init_header_only", [] { return build_digest_init(1, {}, {}, 0); }, "80 B4 00 01", "DigestInit"},
    {"digest_init_with_key", [] { return build_digest_init(1, k2, hex("3132"), 0); },
     "80 B4 00 01 00 00 08 A1A2 00000002 3132", "DigestInit"},
    {"digest_init_key_no_id", [] { return build_digest_init(3, k2, {}, 7); },
     "80 B4 07 03 00 00 06 A1A2 00000000", "DigestInit"},
    {"digest", [] { return build_digest(d1); }, "80 B6 00 00 00 00 01 D1 0000", "Digest"},
    {"digest_of_0_bytes_is_le_only", [] { return build_digest({}); }, "80 B6 00 00 00 00 00", "Digest"},
    {"digest_update", [] { return build_digest_update(d1, 5); }, "80 B8 05 00 00 00 01 D1", "DigestUpdate"},
    {"digest_update_empty_header_only", [] { return build_digest_update({}, 5); }, "80 B8 05 00", "DigestUpdate"},
    {"digest_final_no_data", [] { return build_digest_final({}); }, "80 BA 00 00 00 00 00", "DigestFinal"},
    {"digest_final_data", [] { return build_digest_final(d1); }, "80 BA 00 00 00 00 01 D1 0000", "DigestFinal"},
    {"create_fingerprint", [] { return build_create_fingerprint_record(1, 0, 0, {10, 10, 1, 1}); },
     "C0 B0 00 00 00 00 06 0001 0A0A0101", "CreateFingerPrintRecord"},
    {"verify_fingerprint", [] { return build_verify_fingerprint(1, 3, 1, 2); },
     "C0 B2 03 01 00 00 03 0001 02 0000", "VerifyFingerPrint"},
    {"fingerprint_info", [] { return build_get_fingerprint_info(1, 1); },
     "C0 B4 00 01 00 00 02 0001 0000", "GetFingerPrintInfo"},
    {"clean_fingerprint", [] { return build_clean_fingerprint(); }, "C0 B5 00 00", "CleanFingerPrint"},
    {"unblock_fingerprint", [] { return build_unblock_fingerprint(0xABCD, 1); },
     "C0 B5 01 01 00 00 02 ABCD", "UnblockFingerPrint"},
};
// clang-format on

class builder_bytes : public ::testing::TestWithParam<byte_case> {};

TEST_P(builder_bytes, exact_command) {
    const byte_case& c = GetParam();
    apdu_holder command = c.build();
    if (c.expected.empty()) {
        EXPECT_EQ(command, nullptr) << "the builder must refuse input that does not fit";
        return;
    }
    ASSERT_NE(command, nullptr);
    EXPECT_EQ(test_support::to_hex(command->to_bytes()),
              test_support::to_hex(hex(c.expected.c_str())));
    EXPECT_STREQ(command->name(), c.name);
    EXPECT_EQ(command->timeout(), c.timeout);
    // The card's own command table (written separately) knows the command
    // under the same name.
    uint16_t status = 0;
    const cardsim::command_row* row =
        cardsim::find_command(cardsim::command_table(), static_cast<uint8_t>(command->cla() & 0xEF),
                              command->ins(), command->p1(), command->p2(), status);
    ASSERT_NE(row, nullptr) << std::hex << status;
    EXPECT_STREQ(row->name, command->name());
}

INSTANTIATE_TEST_SUITE_P(crypto, builder_bytes, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.label); });

// Data fills the command up to one exchange (transport_max_command bytes on
// the wire: 9 bytes of extended framing around the data); one byte more is
// refused before anything could be sent, and so is data beyond the 4096-byte
// assembly area.
TEST(builder_limits, data_up_to_one_exchange) {
    const size_t most = transport_max_command - 9;
    apdu_holder full = build_rsa_sign_ex(1, 2, 1, 0x80, seq(most - 4));
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(full->to_bytes().size(), transport_max_command);
    EXPECT_EQ(build_rsa_sign_ex(1, 2, 1, 0x80, seq(most - 3)), nullptr);
    EXPECT_EQ(build_digest(seq(crypto_data_area + 1)), nullptr);
    EXPECT_EQ(build_ex_ecc_encrypt(seq(68), seq(crypto_data_area)), nullptr);
    // A chained import header never carries the key material itself.
    EXPECT_EQ(build_import_ext_rsa_key_pair(1, 2, 1)->data().size(), 4u);
}

// The table is complete and every row is named; rows with a parameter in P1
// or P2 get it from the builder.
TEST(builder_limits, table_rows_are_named_and_distinct) {
    for (size_t i = 0; i < static_cast<size_t>(crypto_cmd::count); ++i) {
        const cmd_descriptor& a = crypto_cmd_info(static_cast<crypto_cmd>(i));
        ASSERT_NE(a.name, nullptr);
        for (size_t j = i + 1; j < static_cast<size_t>(crypto_cmd::count); ++j) {
            const cmd_descriptor& b = crypto_cmd_info(static_cast<crypto_cmd>(j));
            EXPECT_STRNE(a.name, b.name);
            EXPECT_FALSE(a.cla == b.cla && a.ins == b.ins && a.p1 == b.p1)
                << a.name << " / " << b.name;
        }
    }
}

} // namespace
