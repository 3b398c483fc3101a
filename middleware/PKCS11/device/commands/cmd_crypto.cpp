// Builders of the computing card commands: one table row per command and
// one assembly routine, so no command's layout is written twice.
#include "cmd_crypto.h"

#include <array>

#include "byte_writer.h"
#include "transport.h"

namespace {

constexpr int32_t f1 = apdu_case_1;
constexpr int32_t e_lc = apdu_case_3_ext;
constexpr int32_t e_lcle = apdu_case_4_ext;

// Extended framing around the data: CLA INS P1 P2 00 LcHi LcLo ... LeHi LeLo.
constexpr size_t extended_framing = 9;

// clang-format off
constexpr std::array<cmd_descriptor, static_cast<size_t>(crypto_cmd::count)> table = {{
    {"GenRSAKeyPairEx",          0xC0, 0x26, 0, 0, e_lcle, 0, 30000},
    {"ImportExtRSAKeyPair",      0xC0, 0x20, 0, 0, e_lc,   0, 0},
    {"RSASignEx",                0xC0, 0x1C, 0, 0, e_lcle, 0, 0},
    {"RSAPrivate",               0xC0, 0x16, 0, 0, e_lcle, 0, 0},
    {"RSADecrypt",               0xC0, 0x1A, 0, 0, e_lcle, 0, 0},
    {"RSAVerify",                0x80, 0x5E, 0, 0, e_lc,   0, 0},
    {"ExRSAPubKeyOperation",     0x80, 0x60, 0, 0, e_lcle, 0, 0},
    {"DeleteKeyPair",            0xC0, 0x22, 0, 0, e_lc,   0, 0},
    {"GenECCKeyPair",            0x80, 0x70, 0, 0, e_lcle, 0, 2000},
    {"ImportExtECCKeyPair",      0xC0, 0x2C, 0, 0, e_lc,   0, 0},
    {"ECCSignDataEx",            0xC0, 0x2A, 0, 0, e_lc,   0, 0},
    {"ECCVerify",                0x80, 0x76, 0, 0, e_lc,   0, 0},
    {"ExECCEncrypt",             0x80, 0x7A, 0, 0, e_lcle, 0, 0},
    {"ECCPriDecrypt",            0xC0, 0x28, 0, 0, e_lcle, 0, 0},
    {"ExportPublicKey",          0x80, 0x88, 0, 0, e_lcle, 0, 0},
    {"SetSessionKey",            0xC0, 0x12, 0, 0, e_lcle, 0, 0},
    {"DestroySessionKey",        0x80, 0xC4, 0, 0, e_lc,   0, 0},
    {"EncryptInit",              0x80, 0xA4, 0, 0, e_lc,   0, 0},
    {"EncryptUpdate",            0x80, 0xA8, 0, 0, e_lcle, 0, 0},
    {"EncryptFinal",             0x80, 0xAA, 0, 0, e_lcle, 0, 0},
    {"DecryptInit",              0x80, 0xAC, 0, 0, e_lcle, 0, 0},
    {"DecryptUpdate",            0x80, 0xB0, 0, 0, e_lcle, 0, 0},
    {"DecryptFinal",             0x80, 0xB2, 0, 0, e_lcle, 0, 0},
    {"DigestInit",               0x80, 0xB4, 0, 0, e_lc,   0, 0},
    {"Digest",                   0x80, 0xB6, 0, 0, e_lcle, 0, 0},
    {"DigestUpdate",             0x80, 0xB8, 0, 0, e_lc,   0, 0},
    {"DigestFinal",              0x80, 0xBA, 0, 0, e_lcle, 0, 0},
    {"MacInit",                  0x80, 0xBC, 0, 0, e_lc,   0, 0},
    {"MacUpdate",                0x80, 0xC0, 0, 0, e_lc,   0, 0},
    {"MacFinal",                 0x80, 0xC2, 0, 0, e_lcle, mac_final_le, 0},
    {"CreateFingerPrintRecord",  0xC0, 0xB0, 0, 0, e_lc,   0, 0},
    {"VerifyFingerPrint",        0xC0, 0xB2, 0, 0, e_lcle, 0, 0},
    {"GetFingerPrintInfo",       0xC0, 0xB4, 0, 0, e_lcle, 0, 0},
    {"CleanFingerPrint",         0xC0, 0xB5, 0, 0, f1,     0, 0},
    {"UnblockFingerPrint",       0xC0, 0xB5, 1, 0, e_lc,   0, 0},
}};
// clang-format on

// The assembled data of one command: the 4096-byte area, and no more than
// one exchange can carry.
byte_writer area() {
    return byte_writer(crypto_data_area);
}

bool fits_one_exchange(size_t data_size) {
    return data_size + extended_framing <= transport_max_command;
}

// Makes the command of row `which` with P1 P2 and the assembled data
// (cmd_build: empty data drops the Lc field).
apdu_holder make(crypto_cmd which, uint8_t p1, uint8_t p2, const byte_writer& data) {
    if (!data.ok() || !fits_one_exchange(data.size())) return nullptr;
    return cmd_build(crypto_cmd_info(which), p1, p2, data.data());
}

apdu_holder make(crypto_cmd which, const byte_writer& data) {
    const cmd_descriptor& d = crypto_cmd_info(which);
    return make(which, d.p1, d.p2, data);
}

// The prefix most container commands start with.
byte_writer ids(uint16_t app, uint16_t cont) {
    byte_writer w = area();
    w.be16(app).be16(cont);
    return w;
}

// A byte string preceded by its 4-byte count.
void counted32(byte_writer& w, std::span<const uint8_t> bytes) {
    w.be32(static_cast<uint32_t>(bytes.size())).bytes(bytes);
}

bool is_one_of(crypto_cmd which, std::initializer_list<crypto_cmd> allowed) {
    for (crypto_cmd c : allowed)
        if (c == which) return true;
    return false;
}

} // namespace

const cmd_descriptor& crypto_cmd_info(crypto_cmd which) {
    return table[static_cast<size_t>(which)];
}

// ---- RSA ----

apdu_holder build_gen_rsa_key_pair_ex(uint16_t app, uint16_t cont, uint32_t bits,
                                      uint8_t key_spec) {
    byte_writer w = ids(app, cont);
    w.be16(bits);
    return make(crypto_cmd::gen_rsa_key_pair_ex, key_spec, 0, w);
}

apdu_holder build_import_ext_rsa_key_pair(uint16_t app, uint16_t cont, uint8_t key_spec) {
    return make(crypto_cmd::import_ext_rsa_key_pair, key_spec, 0, ids(app, cont));
}

apdu_holder build_rsa_sign_ex(uint16_t app, uint16_t cont, uint8_t p1, uint8_t p2,
                              std::span<const uint8_t> data) {
    byte_writer w = ids(app, cont);
    w.bytes(data);
    return make(crypto_cmd::rsa_sign_ex, p1, p2, w);
}

apdu_holder build_rsa_private(uint16_t app, uint16_t cont, uint8_t p1,
                              std::span<const uint8_t> input) {
    byte_writer w = ids(app, cont);
    w.bytes(input);
    return make(crypto_cmd::rsa_private, p1, 0, w);
}

apdu_holder build_rsa_decrypt(uint16_t app, uint16_t cont, uint8_t p1,
                              std::span<const uint8_t> cipher_text) {
    byte_writer w = ids(app, cont);
    w.bytes(cipher_text);
    return make(crypto_cmd::rsa_decrypt, p1, 0, w);
}

apdu_holder build_rsa_verify(uint8_t p1, uint8_t p2, std::span<const uint8_t> public_key,
                             std::span<const uint8_t> data, std::span<const uint8_t> signature) {
    byte_writer w = area();
    w.bytes(public_key);
    counted32(w, data);
    w.be16(static_cast<uint32_t>(signature.size() > 0xFFFF ? 0x10000 : signature.size()))
        .bytes(signature);
    return make(crypto_cmd::rsa_verify, p1, p2, w);
}

apdu_holder build_ex_rsa_pub_key_operation(std::span<const uint8_t> public_key,
                                           std::span<const uint8_t> input) {
    byte_writer w = area();
    w.bytes(public_key);
    counted32(w, input);
    return make(crypto_cmd::ex_rsa_pub_key_operation, w);
}

apdu_holder build_delete_key_pair(uint16_t app, uint16_t cont, uint8_t key_spec) {
    return make(crypto_cmd::delete_key_pair, key_spec, 0, ids(app, cont));
}

// ---- ECC (SM2) ----

apdu_holder build_gen_ecc_key_pair(uint16_t app, uint16_t cont, uint32_t algorithm) {
    byte_writer w = ids(app, cont);
    w.be32(algorithm);
    return make(crypto_cmd::gen_ecc_key_pair, w);
}

apdu_holder build_import_ext_ecc_key_pair(uint16_t app, uint16_t cont, uint8_t p1,
                                          std::span<const uint8_t> key_data) {
    byte_writer w = ids(app, cont);
    w.bytes(key_data);
    return make(crypto_cmd::import_ext_ecc_key_pair, p1, 0, w);
}

apdu_holder build_ecc_sign_data_ex(uint16_t app, uint16_t cont, uint8_t mode, uint8_t p2,
                                   std::span<const uint8_t> first,
                                   std::span<const uint8_t> second) {
    byte_writer w = ids(app, cont);
    // Mode 2 signs a digest the host computed: no first data, no count.
    if (mode != 2) counted32(w, first);
    w.bytes(second);
    return make(crypto_cmd::ecc_sign_data_ex, mode, p2, w);
}

apdu_holder build_ecc_verify(std::span<const uint8_t> public_key, std::span<const uint8_t> data,
                             std::span<const uint8_t> signature) {
    byte_writer w = area();
    w.bytes(public_key);
    counted32(w, data);
    w.bytes(signature);
    return make(crypto_cmd::ecc_verify, w);
}

apdu_holder build_ex_ecc_encrypt(std::span<const uint8_t> public_key,
                                 std::span<const uint8_t> plain_text) {
    byte_writer w = area();
    w.bytes(public_key);
    counted32(w, plain_text);
    return make(crypto_cmd::ex_ecc_encrypt, w);
}

apdu_holder build_ecc_pri_decrypt(uint16_t app, uint16_t cont, uint8_t p1,
                                  std::span<const uint8_t> cipher_text) {
    byte_writer w = ids(app, cont);
    counted32(w, cipher_text);
    return make(crypto_cmd::ecc_pri_decrypt, p1, 0, w);
}

// ---- Public keys and session keys ----

apdu_holder build_export_public_key(uint16_t app, uint16_t cont, uint8_t key_spec) {
    return make(crypto_cmd::export_public_key, key_spec, 0, ids(app, cont));
}

apdu_holder build_set_session_key(uint16_t app, uint16_t cont, uint32_t algorithm,
                                  std::span<const uint8_t> key) {
    byte_writer w = ids(app, cont);
    w.be32(algorithm).fixed(key, session_key_field);
    return make(crypto_cmd::set_session_key, w);
}

apdu_holder build_destroy_session_key(uint16_t app, uint16_t cont, uint16_t key) {
    byte_writer w = ids(app, cont);
    w.be16(key);
    return make(crypto_cmd::destroy_session_key, w);
}

// ---- Cipher and MAC contexts ----

apdu_holder build_cipher_init(crypto_cmd which, uint16_t app, uint16_t cont, uint16_t key,
                              const cipher_init_params& params) {
    if (!is_one_of(which,
                   {crypto_cmd::encrypt_init, crypto_cmd::decrypt_init, crypto_cmd::mac_init}))
        return nullptr;
    if (params.iv.size() > max_iv_length) return nullptr;
    byte_writer w = ids(app, cont);
    w.be16(key).be16(static_cast<uint32_t>(params.iv.size())).bytes(params.iv);
    w.be32(params.padding).be32(params.feedback_bits);
    return make(which, w);
}

apdu_holder build_cipher_data(crypto_cmd which, uint16_t app, uint16_t cont, uint16_t key,
                              std::span<const uint8_t> data) {
    if (!is_one_of(which, {crypto_cmd::encrypt_update, crypto_cmd::encrypt_final,
                           crypto_cmd::decrypt_update, crypto_cmd::decrypt_final,
                           crypto_cmd::mac_update, crypto_cmd::mac_final}))
        return nullptr;
    byte_writer w = ids(app, cont);
    w.be16(key).bytes(data);
    return make(which, w);
}

apdu_holder build_mac_final(uint16_t app, uint16_t cont, uint16_t key,
                            std::span<const uint8_t> data, int32_t le) {
    apdu_holder command = build_cipher_data(crypto_cmd::mac_final, app, cont, key, data);
    if (command) command->set_le(le);
    return command;
}

// ---- Digest ----

apdu_holder build_digest_init(uint8_t algorithm, std::span<const uint8_t> public_key,
                              std::span<const uint8_t> identifier, uint8_t p1) {
    byte_writer w = area();
    if (!public_key.empty()) {
        w.bytes(public_key);
        counted32(w, identifier);
    }
    return make(crypto_cmd::digest_init, p1, algorithm, w);
}

apdu_holder build_digest(std::span<const uint8_t> data) {
    byte_writer w = area();
    w.bytes(data);
    return make(crypto_cmd::digest, w);
}

apdu_holder build_digest_update(std::span<const uint8_t> data, uint8_t p1) {
    byte_writer w = area();
    w.bytes(data);
    return make(crypto_cmd::digest_update, p1, 0, w);
}

apdu_holder build_digest_final(std::span<const uint8_t> data) {
    byte_writer w = area();
    w.bytes(data);
    return make(crypto_cmd::digest_final, w);
}

// ---- Fingerprint ----

apdu_holder build_create_fingerprint_record(uint16_t app, uint8_t p1, uint8_t p2,
                                            const uint8_t (&params)[4]) {
    byte_writer w = area();
    w.be16(app).bytes(params, sizeof params);
    return make(crypto_cmd::create_fingerprint_record, p1, p2, w);
}

apdu_holder build_verify_fingerprint(uint16_t app, uint8_t p1, uint8_t p2, uint8_t mode) {
    byte_writer w = area();
    w.be16(app).u8(mode);
    return make(crypto_cmd::verify_fingerprint, p1, p2, w);
}

apdu_holder build_get_fingerprint_info(uint16_t app, uint8_t p2) {
    byte_writer w = area();
    w.be16(app);
    return make(crypto_cmd::get_fingerprint_info, 0, p2, w);
}

apdu_holder build_clean_fingerprint() {
    return make(crypto_cmd::clean_fingerprint, area());
}

apdu_holder build_unblock_fingerprint(uint16_t app, uint8_t p2) {
    byte_writer w = area();
    w.be16(app);
    return make(crypto_cmd::unblock_fingerprint, 1, p2, w);
}
