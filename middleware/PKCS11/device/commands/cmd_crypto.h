// Card commands that make the card compute: RSA and SM2 key pairs in
// containers, operations with outside public keys, session keys, symmetric
// cipher, digest, MAC and the fingerprint sensor.
//
// Each command has a builder (build_*), which turns its arguments into an
// apdu_command and nothing else, and a wrapper (cmd_*), which sends it and
// returns a cmd_result of transport.h: the status word of the card's reply
// (sw_none when nothing was sent) and the code
//   cmd_ok (0), cmd_transport_failed (1), cmd_bad_status (2),
//   cmd_bad_length (3): the reply is too short for what the caller reads or
//   longer than its buffer, or the caller's input does not fit the command
//   (checked before anything is sent).
// Numbers in command data and replies are big-endian. app, cont and key are
// the 16-bit ids the card gave the application, container and session key.
// "size in/out" is the caller's buffer capacity in bytes on entry and the
// reply length on return (also on cmd_bad_length, so the caller learns the
// length it needs).
//
// The key selector (key spec) byte in P1 chooses the container's pair:
// 1 the signature pair, 0 the exchange pair; it is passed through unchanged.
// Public keys, signatures and cipher texts travel in the card forms of the
// GM/T 0016 records that the device API builds (see tools/cardsim/README.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "apdu_command.h"
#include "cmd_descriptor.h"
#include "device_id.h"
#include "transport.h"

// The commands of this family, in the order of crypto_command_table().
enum class crypto_cmd : uint8_t {
    gen_rsa_key_pair_ex,
    import_ext_rsa_key_pair,
    rsa_sign_ex,
    rsa_private,
    rsa_decrypt,
    rsa_verify,
    ex_rsa_pub_key_operation,
    delete_key_pair,
    gen_ecc_key_pair,
    import_ext_ecc_key_pair,
    ecc_sign_data_ex,
    ecc_verify,
    ex_ecc_encrypt,
    ecc_pri_decrypt,
    export_public_key,
    set_session_key,
    destroy_session_key,
    encrypt_init,
    encrypt_update,
    encrypt_final,
    decrypt_init,
    decrypt_update,
    decrypt_final,
    digest_init,
    digest,
    digest_update,
    digest_final,
    mac_init,
    mac_update,
    mac_final,
    create_fingerprint_record,
    verify_fingerprint,
    get_fingerprint_info,
    clean_fingerprint,
    unblock_fingerprint,
    count
};

// The family's rows, in the order of crypto_cmd. P1/P2 given there are the
// fixed values; builders replace them where the command carries a parameter
// there.
const cmd_descriptor& crypto_cmd_info(crypto_cmd which);

// Every command of this family assembles its data in an area of this size;
// data that does not fit (or would not fit one exchange) is refused.
inline constexpr size_t crypto_data_area = 4096;
// The 32-byte key field of SetSessionKey.
inline constexpr size_t session_key_field = 32;
// The largest IV the cipher and MAC commands carry (GM/T 0016 BLOCKCIPHERPARAM).
inline constexpr size_t max_iv_length = 32;
// MacFinal asks for this many bytes first; a card answering 6C04 is asked
// again for 4.
inline constexpr int32_t mac_final_le = 16;
inline constexpr int32_t mac_final_short_le = 4;
inline constexpr uint32_t sw_mac_wrong_le = 0x6C04;
// VerifyFingerPrint's result value for a mode-2 reply shorter than 20 bytes.
inline constexpr int cmd_fingerprint_short = 4;
inline constexpr uint8_t fingerprint_mode_full = 2;
inline constexpr size_t fingerprint_info_min = 14;
inline constexpr size_t fingerprint_full_reply = 20;

// ---- Builders: null when the arguments do not fit the command. ----

// RSA
apdu_holder build_gen_rsa_key_pair_ex(uint16_t app, uint16_t cont, uint32_t bits, uint8_t key_spec);
// The header of the chained ImportExtRSAKeyPair (CLA C0; the chaining bits are
// set by cmd_send_chained).
apdu_holder build_import_ext_rsa_key_pair(uint16_t app, uint16_t cont, uint8_t key_spec);
apdu_holder build_rsa_sign_ex(uint16_t app, uint16_t cont, uint8_t p1, uint8_t p2,
                              std::span<const uint8_t> data);
apdu_holder build_rsa_private(uint16_t app, uint16_t cont, uint8_t p1,
                              std::span<const uint8_t> input);
apdu_holder build_rsa_decrypt(uint16_t app, uint16_t cont, uint8_t p1,
                              std::span<const uint8_t> cipher_text);
apdu_holder build_rsa_verify(uint8_t p1, uint8_t p2, std::span<const uint8_t> public_key,
                             std::span<const uint8_t> data, std::span<const uint8_t> signature);
apdu_holder build_ex_rsa_pub_key_operation(std::span<const uint8_t> public_key,
                                           std::span<const uint8_t> input);
apdu_holder build_delete_key_pair(uint16_t app, uint16_t cont, uint8_t key_spec);

// ECC (SM2)
apdu_holder build_gen_ecc_key_pair(uint16_t app, uint16_t cont, uint32_t algorithm);
apdu_holder build_import_ext_ecc_key_pair(uint16_t app, uint16_t cont, uint8_t p1,
                                          std::span<const uint8_t> key_data);
apdu_holder build_ecc_sign_data_ex(uint16_t app, uint16_t cont, uint8_t mode, uint8_t p2,
                                   std::span<const uint8_t> first, std::span<const uint8_t> second);
apdu_holder build_ecc_verify(std::span<const uint8_t> public_key, std::span<const uint8_t> data,
                             std::span<const uint8_t> signature);
apdu_holder build_ex_ecc_encrypt(std::span<const uint8_t> public_key,
                                 std::span<const uint8_t> plain_text);
apdu_holder build_ecc_pri_decrypt(uint16_t app, uint16_t cont, uint8_t p1,
                                  std::span<const uint8_t> cipher_text);

// Public keys and session keys
apdu_holder build_export_public_key(uint16_t app, uint16_t cont, uint8_t key_spec);
// A key longer than the 32-byte field is refused, never cut.
apdu_holder build_set_session_key(uint16_t app, uint16_t cont, uint32_t algorithm,
                                  std::span<const uint8_t> key);
apdu_holder build_destroy_session_key(uint16_t app, uint16_t cont, uint16_t key);

// Symmetric cipher and MAC contexts (one builder shape each for init, data
// and final commands).
struct cipher_init_params {
    std::span<const uint8_t> iv; // at most max_iv_length bytes
    uint32_t padding = 0;        // 0 none, 1 PKCS#5 block padding
    uint32_t feedback_bits = 0;
};
apdu_holder build_cipher_init(crypto_cmd which, uint16_t app, uint16_t cont, uint16_t key,
                              const cipher_init_params& params);
apdu_holder build_cipher_data(crypto_cmd which, uint16_t app, uint16_t cont, uint16_t key,
                              std::span<const uint8_t> data);
// MacFinal with the given Le (mac_final_le, or mac_final_short_le after 6C04).
apdu_holder build_mac_final(uint16_t app, uint16_t cont, uint16_t key,
                            std::span<const uint8_t> data, int32_t le);

// Digest. With a public key (not empty): data = public key, identifier (4);
// without: header only.
apdu_holder build_digest_init(uint8_t algorithm, std::span<const uint8_t> public_key,
                              std::span<const uint8_t> identifier, uint8_t p1);
// Digest / DigestFinal with no data are sent in the E-Le form (Le only);
// DigestUpdate with no data as a header-only command.
apdu_holder build_digest(std::span<const uint8_t> data);
apdu_holder build_digest_update(std::span<const uint8_t> data, uint8_t p1);
apdu_holder build_digest_final(std::span<const uint8_t> data);

// Fingerprint
apdu_holder build_create_fingerprint_record(uint16_t app, uint8_t p1, uint8_t p2,
                                            const uint8_t (&params)[4]);
apdu_holder build_verify_fingerprint(uint16_t app, uint8_t p1, uint8_t p2, uint8_t mode);
apdu_holder build_get_fingerprint_info(uint16_t app, uint8_t p2);
apdu_holder build_clean_fingerprint();
apdu_holder build_unblock_fingerprint(uint16_t app, uint8_t p2);

// ---- Wrappers ----

// RSA
cmd_result cmd_gen_rsa_key_pair_ex(device_id device, uint16_t app, uint16_t cont, uint32_t bits,
                                   uint8_t key_spec, uint8_t* buffer, uint32_t* size);
// Empty key material is refused (cmd_bad_length) before anything is sent.
cmd_result cmd_import_ext_rsa_key_pair(device_id device, uint16_t app, uint16_t cont,
                                       uint8_t key_spec, const uint8_t* key_material,
                                       uint32_t length);
cmd_result cmd_rsa_sign_ex(device_id device, uint16_t app, uint16_t cont, uint8_t p1, uint8_t p2,
                           const uint8_t* data, uint32_t length, uint8_t* buffer, uint32_t* size);
cmd_result cmd_rsa_private(device_id device, uint16_t app, uint16_t cont, uint8_t p1,
                           const uint8_t* input, uint32_t length, uint8_t* buffer, uint32_t* size);
cmd_result cmd_rsa_decrypt(device_id device, uint16_t app, uint16_t cont, uint8_t p1,
                           const uint8_t* cipher_text, uint32_t length, uint8_t* buffer,
                           uint32_t* size);
cmd_result cmd_rsa_verify(device_id device, uint8_t p1, uint8_t p2, const uint8_t* public_key,
                          uint32_t key_length, const uint8_t* data, uint32_t data_length,
                          const uint8_t* signature, uint32_t signature_length);
cmd_result cmd_ex_rsa_pub_key_operation(device_id device, const uint8_t* public_key,
                                        uint32_t key_length, const uint8_t* input, uint32_t length,
                                        uint8_t* buffer, uint32_t* size);
cmd_result cmd_delete_key_pair(device_id device, uint16_t app, uint16_t cont, uint8_t key_spec);

// ECC (SM2)
cmd_result cmd_gen_ecc_key_pair(device_id device, uint16_t app, uint16_t cont, uint32_t algorithm,
                                uint8_t* buffer, uint32_t* size);
cmd_result cmd_import_ext_ecc_key_pair(device_id device, uint16_t app, uint16_t cont, uint8_t p1,
                                       const uint8_t* key_data, uint32_t length);
cmd_result cmd_ecc_sign_data_ex(device_id device, uint16_t app, uint16_t cont, uint8_t mode,
                                uint8_t p2, const uint8_t* first, uint32_t first_length,
                                const uint8_t* second, uint32_t second_length, uint8_t* buffer,
                                uint32_t* size);
cmd_result cmd_ecc_verify(device_id device, const uint8_t* public_key, uint32_t key_length,
                          const uint8_t* data, uint32_t data_length, const uint8_t* signature,
                          uint32_t signature_length);
cmd_result cmd_ex_ecc_encrypt(device_id device, const uint8_t* public_key, uint32_t key_length,
                              const uint8_t* plain_text, uint32_t length, uint8_t* buffer,
                              uint32_t* size);
cmd_result cmd_ecc_pri_decrypt(device_id device, uint16_t app, uint16_t cont, uint8_t p1,
                               const uint8_t* cipher_text, uint32_t length, uint8_t* buffer,
                               uint32_t* size);

// Public keys and session keys
cmd_result cmd_export_public_key(device_id device, uint16_t app, uint16_t cont, uint8_t key_spec,
                                 uint8_t* buffer, uint32_t* size);
cmd_result cmd_set_session_key(device_id device, uint16_t app, uint16_t cont, uint32_t algorithm,
                               const uint8_t* key, uint32_t length, uint16_t* key_id);
cmd_result cmd_destroy_session_key(device_id device, uint16_t app, uint16_t cont, uint16_t key);

// Symmetric cipher
cmd_result cmd_encrypt_init(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                            const uint8_t* iv, uint32_t iv_length, uint32_t padding,
                            uint32_t feedback_bits);
cmd_result cmd_encrypt_update(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                              const uint8_t* data, uint32_t length, uint8_t* buffer,
                              uint32_t* size);
cmd_result cmd_encrypt_final(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                             const uint8_t* data, uint32_t length, uint8_t* buffer, uint32_t* size);
cmd_result cmd_decrypt_init(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                            const uint8_t* iv, uint32_t iv_length, uint32_t padding,
                            uint32_t feedback_bits);
cmd_result cmd_decrypt_update(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                              const uint8_t* data, uint32_t length, uint8_t* buffer,
                              uint32_t* size);
cmd_result cmd_decrypt_final(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                             const uint8_t* data, uint32_t length, uint8_t* buffer, uint32_t* size);

// Digest
cmd_result cmd_digest_init(device_id device, uint8_t algorithm, const uint8_t* public_key,
                           uint32_t key_length, const uint8_t* identifier,
                           uint32_t identifier_length, uint8_t p1);
cmd_result cmd_digest(device_id device, const uint8_t* data, uint32_t length, uint8_t* buffer,
                      uint32_t* size);
cmd_result cmd_digest_update(device_id device, const uint8_t* data, uint32_t length, uint8_t p1);
cmd_result cmd_digest_final(device_id device, const uint8_t* data, uint32_t length, uint8_t* buffer,
                            uint32_t* size);

// MAC. MacFinal answered 6C04 is sent once more with Le 4 and that answer
// counts.
cmd_result cmd_mac_init(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                        const uint8_t* iv, uint32_t iv_length, uint32_t padding,
                        uint32_t feedback_bits);
cmd_result cmd_mac_update(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                          const uint8_t* data, uint32_t length);
cmd_result cmd_mac_final(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                         const uint8_t* data, uint32_t length, uint8_t* buffer, uint32_t* size);

// Fingerprint
cmd_result cmd_create_fingerprint_record(device_id device, uint16_t app, uint8_t p1, uint8_t p2,
                                         uint8_t param1, uint8_t param2, uint8_t param3,
                                         uint8_t param4);
// result: reply byte 0. In mode 2 a reply of at least 20 bytes also gives
// bytes 1-16 (template, 16 bytes), the value at 17-18 and byte 19; a shorter
// mode-2 reply returns cmd_fingerprint_short. Outputs may be null.
cmd_result cmd_verify_fingerprint(device_id device, uint16_t app, uint8_t p2, uint8_t p1,
                                  uint8_t mode, uint8_t* result, uint8_t* block16, uint16_t* value,
                                  uint8_t* last_byte);
// At least 14 reply bytes: bytes 0-3 to the four outputs, the rest to buffer;
// *length is its capacity in and the count out (cmd_bad_length when it does
// not fit).
cmd_result cmd_get_fingerprint_info(device_id device, uint16_t app, uint8_t p2, uint8_t* info1,
                                    uint8_t* info2, uint8_t* info3, uint8_t* info4, uint8_t* buffer,
                                    uint32_t* length);
cmd_result cmd_clean_fingerprint(device_id device);
cmd_result cmd_unblock_fingerprint(device_id device, uint16_t app, uint8_t p2);
