// Wrappers of the computing card commands: build, send, check, copy out.
#include <cstring>

#include "byte_order.h"
#include "cmd_crypto.h"
#include "transport.h"

namespace {

std::span<const uint8_t> bytes_of(const uint8_t* data, uint32_t length) {
    return data ? std::span<const uint8_t>(data, length) : std::span<const uint8_t>();
}

// A pointer that is null while its length is not 0 is a caller mistake; it
// is refused like data that does not fit.
bool valid_input(const uint8_t* data, uint32_t length) {
    return data || length == 0;
}

// Sends a built command; a command that could not be built (its input does
// not fit) is cmd_bad_length before anything is sent.
cmd_result send(device_id device, const apdu_holder& command) {
    if (!command) return {cmd_bad_length};
    return cmd_send(device, *command);
}

// Sends and copies the reply ("reply copied").
cmd_result send_copy(device_id device, const apdu_holder& command, uint8_t* buffer,
                     uint32_t* size) {
    if (!size) return {cmd_bad_length};
    const cmd_result sent = send(device, command);
    if (!sent.ok()) return sent;
    return sent.with(cmd_copy_reply(*command, buffer, size));
}

} // namespace

// ---- RSA ----

cmd_result cmd_gen_rsa_key_pair_ex(device_id device, uint16_t app, uint16_t cont, uint32_t bits,
                                   uint8_t key_spec, uint8_t* buffer, uint32_t* size) {
    return send_copy(device, build_gen_rsa_key_pair_ex(app, cont, bits, key_spec), buffer, size);
}

cmd_result cmd_import_ext_rsa_key_pair(device_id device, uint16_t app, uint16_t cont,
                                       uint8_t key_spec, const uint8_t* key_material,
                                       uint32_t length) {
    // An empty chain would open the card's chaining state and never close it.
    if (!key_material || length == 0) return {cmd_bad_length};
    apdu_holder header = build_import_ext_rsa_key_pair(app, cont, key_spec);
    if (!header) return {cmd_bad_length};
    return cmd_send_chained(device, *header, {key_material, length});
}

cmd_result cmd_rsa_sign_ex(device_id device, uint16_t app, uint16_t cont, uint8_t p1, uint8_t p2,
                           const uint8_t* data, uint32_t length, uint8_t* buffer, uint32_t* size) {
    if (!valid_input(data, length)) return {cmd_bad_length};
    return send_copy(device, build_rsa_sign_ex(app, cont, p1, p2, bytes_of(data, length)), buffer,
                     size);
}

cmd_result cmd_rsa_private(device_id device, uint16_t app, uint16_t cont, uint8_t p1,
                           const uint8_t* input, uint32_t length, uint8_t* buffer, uint32_t* size) {
    if (!valid_input(input, length)) return {cmd_bad_length};
    return send_copy(device, build_rsa_private(app, cont, p1, bytes_of(input, length)), buffer,
                     size);
}

cmd_result cmd_rsa_decrypt(device_id device, uint16_t app, uint16_t cont, uint8_t p1,
                           const uint8_t* cipher_text, uint32_t length, uint8_t* buffer,
                           uint32_t* size) {
    if (!valid_input(cipher_text, length)) return {cmd_bad_length};
    return send_copy(device, build_rsa_decrypt(app, cont, p1, bytes_of(cipher_text, length)),
                     buffer, size);
}

cmd_result cmd_rsa_verify(device_id device, uint8_t p1, uint8_t p2, const uint8_t* public_key,
                          uint32_t key_length, const uint8_t* data, uint32_t data_length,
                          const uint8_t* signature, uint32_t signature_length) {
    if (!valid_input(public_key, key_length) || !valid_input(data, data_length) ||
        !valid_input(signature, signature_length))
        return {cmd_bad_length};
    return send(device, build_rsa_verify(p1, p2, bytes_of(public_key, key_length),
                                         bytes_of(data, data_length),
                                         bytes_of(signature, signature_length)));
}

cmd_result cmd_ex_rsa_pub_key_operation(device_id device, const uint8_t* public_key,
                                        uint32_t key_length, const uint8_t* input, uint32_t length,
                                        uint8_t* buffer, uint32_t* size) {
    if (!valid_input(public_key, key_length) || !valid_input(input, length))
        return {cmd_bad_length};
    return send_copy(
        device,
        build_ex_rsa_pub_key_operation(bytes_of(public_key, key_length), bytes_of(input, length)),
        buffer, size);
}

cmd_result cmd_delete_key_pair(device_id device, uint16_t app, uint16_t cont, uint8_t key_spec) {
    return send(device, build_delete_key_pair(app, cont, key_spec));
}

// ---- ECC (SM2) ----

cmd_result cmd_gen_ecc_key_pair(device_id device, uint16_t app, uint16_t cont, uint32_t algorithm,
                                uint8_t* buffer, uint32_t* size) {
    return send_copy(device, build_gen_ecc_key_pair(app, cont, algorithm), buffer, size);
}

cmd_result cmd_import_ext_ecc_key_pair(device_id device, uint16_t app, uint16_t cont, uint8_t p1,
                                       const uint8_t* key_data, uint32_t length) {
    if (!valid_input(key_data, length)) return {cmd_bad_length};
    return send(device, build_import_ext_ecc_key_pair(app, cont, p1, bytes_of(key_data, length)));
}

cmd_result cmd_ecc_sign_data_ex(device_id device, uint16_t app, uint16_t cont, uint8_t mode,
                                uint8_t p2, const uint8_t* first, uint32_t first_length,
                                const uint8_t* second, uint32_t second_length, uint8_t* buffer,
                                uint32_t* size) {
    if (!valid_input(first, first_length) || !valid_input(second, second_length))
        return {cmd_bad_length};
    return send_copy(device,
                     build_ecc_sign_data_ex(app, cont, mode, p2, bytes_of(first, first_length),
                                            bytes_of(second, second_length)),
                     buffer, size);
}

cmd_result cmd_ecc_verify(device_id device, const uint8_t* public_key, uint32_t key_length,
                          const uint8_t* data, uint32_t data_length, const uint8_t* signature,
                          uint32_t signature_length) {
    if (!valid_input(public_key, key_length) || !valid_input(data, data_length) ||
        !valid_input(signature, signature_length))
        return {cmd_bad_length};
    return send(device,
                build_ecc_verify(bytes_of(public_key, key_length), bytes_of(data, data_length),
                                 bytes_of(signature, signature_length)));
}

cmd_result cmd_ex_ecc_encrypt(device_id device, const uint8_t* public_key, uint32_t key_length,
                              const uint8_t* plain_text, uint32_t length, uint8_t* buffer,
                              uint32_t* size) {
    if (!valid_input(public_key, key_length) || !valid_input(plain_text, length))
        return {cmd_bad_length};
    return send_copy(
        device,
        build_ex_ecc_encrypt(bytes_of(public_key, key_length), bytes_of(plain_text, length)),
        buffer, size);
}

cmd_result cmd_ecc_pri_decrypt(device_id device, uint16_t app, uint16_t cont, uint8_t p1,
                               const uint8_t* cipher_text, uint32_t length, uint8_t* buffer,
                               uint32_t* size) {
    if (!valid_input(cipher_text, length)) return {cmd_bad_length};
    return send_copy(device, build_ecc_pri_decrypt(app, cont, p1, bytes_of(cipher_text, length)),
                     buffer, size);
}

// ---- Public keys and session keys ----

cmd_result cmd_export_public_key(device_id device, uint16_t app, uint16_t cont, uint8_t key_spec,
                                 uint8_t* buffer, uint32_t* size) {
    return send_copy(device, build_export_public_key(app, cont, key_spec), buffer, size);
}

cmd_result cmd_set_session_key(device_id device, uint16_t app, uint16_t cont, uint32_t algorithm,
                               const uint8_t* key, uint32_t length, uint16_t* key_id) {
    if (!valid_input(key, length)) return {cmd_bad_length};
    apdu_holder command = build_set_session_key(app, cont, algorithm, bytes_of(key, length));
    const cmd_result sent = send(device, command);
    if (!sent.ok()) return sent;
    const std::span<const uint8_t> reply = command->reply();
    if (reply.size() < 2) return sent.with(cmd_bad_length);
    if (key_id) *key_id = get_be16(reply.data());
    return sent;
}

cmd_result cmd_destroy_session_key(device_id device, uint16_t app, uint16_t cont, uint16_t key) {
    return send(device, build_destroy_session_key(app, cont, key));
}

// ---- Symmetric cipher ----

namespace {

cmd_result cipher_init(crypto_cmd which, device_id device, uint16_t app, uint16_t cont,
                       uint16_t key, const uint8_t* iv, uint32_t iv_length, uint32_t padding,
                       uint32_t feedback_bits) {
    if (!valid_input(iv, iv_length)) return {cmd_bad_length};
    return send(device, build_cipher_init(which, app, cont, key,
                                          {bytes_of(iv, iv_length), padding, feedback_bits}));
}

cmd_result cipher_data(crypto_cmd which, device_id device, uint16_t app, uint16_t cont,
                       uint16_t key, const uint8_t* data, uint32_t length, uint8_t* buffer,
                       uint32_t* size) {
    if (!valid_input(data, length)) return {cmd_bad_length};
    return send_copy(device, build_cipher_data(which, app, cont, key, bytes_of(data, length)),
                     buffer, size);
}

} // namespace

cmd_result cmd_encrypt_init(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                            const uint8_t* iv, uint32_t iv_length, uint32_t padding,
                            uint32_t feedback_bits) {
    return cipher_init(crypto_cmd::encrypt_init, device, app, cont, key, iv, iv_length, padding,
                       feedback_bits);
}

cmd_result cmd_encrypt_update(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                              const uint8_t* data, uint32_t length, uint8_t* buffer,
                              uint32_t* size) {
    return cipher_data(crypto_cmd::encrypt_update, device, app, cont, key, data, length, buffer,
                       size);
}

cmd_result cmd_encrypt_final(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                             const uint8_t* data, uint32_t length, uint8_t* buffer,
                             uint32_t* size) {
    return cipher_data(crypto_cmd::encrypt_final, device, app, cont, key, data, length, buffer,
                       size);
}

cmd_result cmd_decrypt_init(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                            const uint8_t* iv, uint32_t iv_length, uint32_t padding,
                            uint32_t feedback_bits) {
    return cipher_init(crypto_cmd::decrypt_init, device, app, cont, key, iv, iv_length, padding,
                       feedback_bits);
}

cmd_result cmd_decrypt_update(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                              const uint8_t* data, uint32_t length, uint8_t* buffer,
                              uint32_t* size) {
    return cipher_data(crypto_cmd::decrypt_update, device, app, cont, key, data, length, buffer,
                       size);
}

cmd_result cmd_decrypt_final(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                             const uint8_t* data, uint32_t length, uint8_t* buffer,
                             uint32_t* size) {
    return cipher_data(crypto_cmd::decrypt_final, device, app, cont, key, data, length, buffer,
                       size);
}

// ---- Digest ----

cmd_result cmd_digest_init(device_id device, uint8_t algorithm, const uint8_t* public_key,
                           uint32_t key_length, const uint8_t* identifier,
                           uint32_t identifier_length, uint8_t p1) {
    if (!valid_input(identifier, identifier_length)) return {cmd_bad_length};
    // The key form is taken only when a key is given (pointer and length).
    const std::span<const uint8_t> key =
        public_key && key_length ? bytes_of(public_key, key_length) : std::span<const uint8_t>();
    return send(device,
                build_digest_init(algorithm, key, bytes_of(identifier, identifier_length), p1));
}

cmd_result cmd_digest(device_id device, const uint8_t* data, uint32_t length, uint8_t* buffer,
                      uint32_t* size) {
    if (!valid_input(data, length)) return {cmd_bad_length};
    return send_copy(device, build_digest(bytes_of(data, length)), buffer, size);
}

cmd_result cmd_digest_update(device_id device, const uint8_t* data, uint32_t length, uint8_t p1) {
    if (!valid_input(data, length)) return {cmd_bad_length};
    return send(device, build_digest_update(bytes_of(data, length), p1));
}

cmd_result cmd_digest_final(device_id device, const uint8_t* data, uint32_t length, uint8_t* buffer,
                            uint32_t* size) {
    if (!valid_input(data, length)) return {cmd_bad_length};
    return send_copy(device, build_digest_final(bytes_of(data, length)), buffer, size);
}

// ---- MAC ----

cmd_result cmd_mac_init(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                        const uint8_t* iv, uint32_t iv_length, uint32_t padding,
                        uint32_t feedback_bits) {
    return cipher_init(crypto_cmd::mac_init, device, app, cont, key, iv, iv_length, padding,
                       feedback_bits);
}

cmd_result cmd_mac_update(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                          const uint8_t* data, uint32_t length) {
    if (!valid_input(data, length)) return {cmd_bad_length};
    return send(device,
                build_cipher_data(crypto_cmd::mac_update, app, cont, key, bytes_of(data, length)));
}

cmd_result cmd_mac_final(device_id device, uint16_t app, uint16_t cont, uint16_t key,
                         const uint8_t* data, uint32_t length, uint8_t* buffer, uint32_t* size) {
    if (!valid_input(data, length) || !size) return {cmd_bad_length};
    const std::span<const uint8_t> last = bytes_of(data, length);
    apdu_holder command = build_mac_final(app, cont, key, last, mac_final_le);
    if (!command) return {cmd_bad_length};
    cmd_result sent = cmd_exchange(device, *command);
    if (!sent.ok()) return sent;
    if (sent.status_word == sw_mac_wrong_le) {
        // ISO 7816-4 "wrong Le, 4 bytes available": the card kept its MAC
        // context; the same command with Le 4 fetches the MAC.
        command = build_mac_final(app, cont, key, last, mac_final_short_le);
        if (!command) return sent.with(cmd_bad_length);
        sent = cmd_exchange(device, *command);
        if (!sent.ok()) return sent;
    }
    if (sent.status_word != sw_success) return sent.with(cmd_bad_status);
    return sent.with(cmd_copy_reply(*command, buffer, size));
}

// ---- Fingerprint ----

cmd_result cmd_create_fingerprint_record(device_id device, uint16_t app, uint8_t p1, uint8_t p2,
                                         uint8_t param1, uint8_t param2, uint8_t param3,
                                         uint8_t param4) {
    const uint8_t params[4] = {param1, param2, param3, param4};
    return send(device, build_create_fingerprint_record(app, p1, p2, params));
}

cmd_result cmd_verify_fingerprint(device_id device, uint16_t app, uint8_t p2, uint8_t p1,
                                  uint8_t mode, uint8_t* result, uint8_t* block16, uint16_t* value,
                                  uint8_t* last_byte) {
    apdu_holder command = build_verify_fingerprint(app, p1, p2, mode);
    const cmd_result sent = send(device, command);
    if (!sent.ok()) return sent;
    const std::span<const uint8_t> reply = command->reply();
    if (reply.empty()) return sent.with(cmd_bad_length);
    if (result) *result = reply[0];
    if (mode != fingerprint_mode_full) return sent;
    if (reply.size() < fingerprint_full_reply) return sent.with(cmd_fingerprint_short);
    if (block16) std::memcpy(block16, reply.data() + 1, 16);
    if (value) *value = get_be16(reply.data() + 17);
    if (last_byte) *last_byte = reply[19];
    return sent;
}

cmd_result cmd_get_fingerprint_info(device_id device, uint16_t app, uint8_t p2, uint8_t* info1,
                                    uint8_t* info2, uint8_t* info3, uint8_t* info4, uint8_t* buffer,
                                    uint32_t* length) {
    if (!length) return {cmd_bad_length};
    apdu_holder command = build_get_fingerprint_info(app, p2);
    const cmd_result sent = send(device, command);
    if (!sent.ok()) return sent;
    const std::span<const uint8_t> reply = command->reply();
    if (reply.size() < fingerprint_info_min) return sent.with(cmd_bad_length);
    const std::span<const uint8_t> rest = reply.subspan(4);
    const uint32_t capacity = *length;
    *length = static_cast<uint32_t>(rest.size());
    if (!buffer || rest.size() > capacity) return sent.with(cmd_bad_length);
    uint8_t* outs[4] = {info1, info2, info3, info4};
    for (size_t i = 0; i < 4; ++i)
        if (outs[i]) *outs[i] = reply[i];
    if (buffer) std::memcpy(buffer, rest.data(), rest.size());
    return sent;
}

cmd_result cmd_clean_fingerprint(device_id device) {
    return send(device, build_clean_fingerprint());
}

cmd_result cmd_unblock_fingerprint(device_id device, uint16_t app, uint8_t p2) {
    return send(device, build_unblock_fingerprint(app, p2));
}
