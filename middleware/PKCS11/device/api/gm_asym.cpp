// Device API: RSA and SM2 key pairs, outside public keys and random numbers.
// Each function converts between the GM/T 0016 records of its caller and the
// card forms of the key commands (cmd_crypto.h), under the device mutex.
//
// Card forms (numbers big-endian):
//   RSA public key:   BitLen (4) || modulus (BitLen/8) || exponent (4)
//   SM2 public key:   BitLen (4) || X (32) || Y (32)
//   SM2 signature:    r (32) || s (32); ECCSignDataEx answers 4 bytes first
//   SM2 cipher text:  256 (4) || 04 || X (32) || Y (32) || HASH (32) ||
//                     CipherLen (4) || cipher (CipherLen)
// Every reply is checked against its exact layout before a record is filled:
// a 9000 reply of another length is SAR_FAIL and writes nothing.
#include "gm_asym.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <vector>

#include "byte_order.h"
#include "cmd_app_file.h"
#include "cmd_crypto.h"
#include "cmd_device.h"
#include "gm_frame.h"
#include "gm_handles.h"

namespace {

constexpr uint32_t sm2_bits = 256;
constexpr size_t sm2_value = gm_sm2_value_size;
constexpr size_t sm2_key_form = 4 + 2 * sm2_value;            // 68
constexpr size_t sm2_sign_reply = 4 + 2 * sm2_value;          // 68
constexpr size_t sm2_cipher_head = 4 + 1 + 3 * sm2_value + 4; // 105
constexpr uint32_t rsa_sign_reply = 2048;
constexpr uint32_t rsa_decrypt_reply = 1024;
constexpr uint32_t rsa_private_reply = 512;
constexpr uint32_t rsa_verify_mode = 2;     // the constant RSAVerify carries in P1
constexpr uint8_t sm2_sign_mode_digest = 2; // ECCSignDataEx: sign e as given

// The card holds 1024- and 2048-bit RSA keys only; checking this first keeps
// every layout below inside its 256-byte fields.
bool rsa_bits_supported(uint32_t bits) {
    return bits == 1024 || bits == 2048;
}

uint8_t key_selector(uint32_t key_spec) {
    return static_cast<uint8_t>(key_spec & 0xFF);
}

// The card's hash id: SHA-256 is 3 on the card; the others pass unchanged.
// Ids that do not fit the one-byte P2 are refused.
bool card_hash_id(uint32_t hash_id, uint8_t& out) {
    if (hash_id > 0xFF) return false;
    out = hash_id == gm_hash_sha256 ? 3 : static_cast<uint8_t>(hash_id);
    return true;
}

// A container of the tree with its device and application; login asks for
// the user to be logged in to the application.
struct container_call {
    gm_cont_ref ref;
    device_id device() const { return ref.dev->device; }
    uint16_t app() const { return static_cast<uint16_t>(ref.app->app_id); }
    uint16_t cont() const { return static_cast<uint16_t>(ref.cont->container_id); }
};

uint32_t find_container(HCONTAINER handle, bool login, container_call& call) {
    call.ref = gm_find_cont(handle);
    if (!call.ref.cont || !call.ref.app || !call.ref.dev) return SAR_INVALIDHANDLEERR;
    if (login && !call.ref.app->user_logged_in) return SAR_USER_NOT_LOGGED_IN;
    return SAR_OK;
}

// RSA public key in card form; the key's BitLen must be supported.
struct rsa_card_key {
    std::array<uint8_t, 4 + MAX_RSA_MODULUS_LEN + MAX_RSA_EXPONENT_LEN> bytes{};
    uint32_t length = 0;
};

rsa_card_key to_card_form(const RSAPUBLICKEYBLOB& blob) {
    rsa_card_key key;
    const uint32_t bits = blob.BitLen;
    const size_t k = bits / 8;
    put_be32(bits, key.bytes.data());
    std::memcpy(key.bytes.data() + 4, blob.Modulus + MAX_RSA_MODULUS_LEN - k, k);
    std::memcpy(key.bytes.data() + 4 + k, blob.PublicExponent, MAX_RSA_EXPONENT_LEN);
    key.length = static_cast<uint32_t>(4 + k + MAX_RSA_EXPONENT_LEN);
    return key;
}

std::array<uint8_t, sm2_key_form> to_card_form(const ECCPUBLICKEYBLOB& blob) {
    std::array<uint8_t, sm2_key_form> key{};
    put_be32(blob.BitLen, key.data());
    std::memcpy(key.data() + 4, blob.XCoordinate + ECC_MAX_XCOORDINATE_LEN - sm2_value, sm2_value);
    std::memcpy(key.data() + 4 + sm2_value, blob.YCoordinate + ECC_MAX_YCOORDINATE_LEN - sm2_value,
                sm2_value);
    return key;
}

// An SM2 value of 32 bytes into the last 32 bytes of a 64-byte field.
void put_sm2_value(uint8_t (&field)[64], const uint8_t* value) {
    std::memcpy(field + 64 - sm2_value, value, sm2_value);
}

// ExportPublicKey's reply as a record. RSA: BitLen (4) || n || e (4) with a
// supported BitLen and exactly that length; SM2: 4 bytes || X || Y.
uint32_t public_key_record(std::span<const uint8_t> reply, RSAPUBLICKEYBLOB& rsa,
                           ECCPUBLICKEYBLOB& ecc, bool& is_rsa) {
    if (reply.size() > 128) {
        const uint32_t bits = get_be32(reply.data());
        if (!rsa_bits_supported(bits) || reply.size() != 4 + bits / 8 + MAX_RSA_EXPONENT_LEN)
            return SAR_FAIL;
        const size_t k = bits / 8;
        std::memset(&rsa, 0, sizeof rsa);
        rsa.AlgID = SGD_RSA;
        rsa.BitLen = bits;
        std::memcpy(rsa.Modulus + MAX_RSA_MODULUS_LEN - k, reply.data() + 4, k);
        std::memcpy(rsa.PublicExponent, reply.data() + 4 + k, MAX_RSA_EXPONENT_LEN);
        is_rsa = true;
        return SAR_OK;
    }
    // A short RSA key (a 512-bit one answers 72 bytes) must not pass as SM2.
    if (reply.size() != sm2_key_form) return SAR_FAIL;
    std::memset(&ecc, 0, sizeof ecc);
    ecc.BitLen = sm2_bits;
    put_sm2_value(ecc.XCoordinate, reply.data() + 4);
    put_sm2_value(ecc.YCoordinate, reply.data() + 4 + sm2_value);
    is_rsa = false;
    return SAR_OK;
}

} // namespace

// ---- Key pairs in a container ----

uint32_t gm_gen_rsa_key_pair(HCONTAINER hContainer, uint32_t ulKeySpec, uint32_t ulBitsLen,
                             RSAPUBLICKEYBLOB* pBlob) {
    return gm_locked_call([&]() -> uint32_t {
        container_call c;
        if (const uint32_t rc = find_container(hContainer, true, c)) return rc;
        if (!pBlob || !rsa_bits_supported(ulBitsLen)) return SAR_INVALIDPARAMERR;
        uint8_t reply[512];
        uint32_t size = sizeof reply;
        const cmd_result w = cmd_gen_rsa_key_pair_ex(c.device(), c.app(), c.cont(), ulBitsLen,
                                                     key_selector(ulKeySpec), reply, &size);
        if (w != cmd_ok) return gm_wrapper_error(w);
        const size_t k = ulBitsLen / 8;
        if (size != k + MAX_RSA_EXPONENT_LEN) return SAR_FAIL;
        pBlob->AlgID = SGD_RSA;
        pBlob->BitLen = ulBitsLen;
        std::memcpy(pBlob->Modulus + MAX_RSA_MODULUS_LEN - k, reply, k);
        std::memcpy(pBlob->PublicExponent, reply + k, MAX_RSA_EXPONENT_LEN);
        return SAR_OK;
    });
}

uint32_t gm_import_plain_rsa_key_pair(HCONTAINER hContainer, uint32_t ulKeySpec,
                                      const RSAPRIVATEKEYBLOB* pBlob) {
    return gm_locked_call([&]() -> uint32_t {
        container_call c;
        if (const uint32_t rc = find_container(hContainer, true, c)) return rc;
        if (!pBlob || !rsa_bits_supported(pBlob->BitLen)) return SAR_INVALIDPARAMERR;
        const cmd_result w =
            cmd_import_ext_rsa_key_pair(c.device(), c.app(), c.cont(), key_selector(ulKeySpec),
                                        reinterpret_cast<const uint8_t*>(pBlob), sizeof *pBlob);
        return gm_wrapper_error(w);
    });
}

uint32_t gm_rsa_sign_data(HCONTAINER hContainer, uint32_t ulKeySpec, uint32_t ulHashId,
                          const uint8_t* pbData, uint32_t ulDataLen, uint8_t* pbSignature,
                          uint32_t* pulSignLen) {
    return gm_locked_call([&]() -> uint32_t {
        container_call c;
        if (const uint32_t rc = find_container(hContainer, false, c)) return rc;
        uint8_t hash = 0;
        if (ulDataLen >= gm_rsa_sign_data_limit || (!pbData && ulDataLen) || !pulSignLen ||
            !card_hash_id(ulHashId, hash))
            return SAR_INVALIDPARAMERR;
        if (!c.ref.app->user_logged_in) return SAR_USER_NOT_LOGGED_IN;
        std::vector<uint8_t> reply(rsa_sign_reply);
        uint32_t size = rsa_sign_reply;
        const cmd_result w = cmd_rsa_sign_ex(c.device(), c.app(), c.cont(), key_selector(ulKeySpec),
                                             hash, pbData, ulDataLen, reply.data(), &size);
        if (w != cmd_ok) return gm_wrapper_error(w);
        // A signature is as long as the modulus of a key the card holds.
        if (size != 128 && size != 256) return SAR_FAIL;
        return gm_copy_out(reply.data(), size, pbSignature, pulSignLen);
    });
}

uint32_t gm_rsa_private_decrypt(HCONTAINER hContainer, uint32_t ulKeySpec, const uint8_t* pbInput,
                                uint32_t ulInputLen, uint8_t* pbOutput, uint32_t* pulOutputLen) {
    return gm_locked_call([&]() -> uint32_t {
        container_call c;
        if (const uint32_t rc = find_container(hContainer, true, c)) return rc;
        if (!pbInput || !pulOutputLen) return SAR_INVALIDPARAMERR;
        std::vector<uint8_t> reply(rsa_decrypt_reply);
        uint32_t size = rsa_decrypt_reply;
        const cmd_result w = cmd_rsa_decrypt(c.device(), c.app(), c.cont(), key_selector(ulKeySpec),
                                             pbInput, ulInputLen, reply.data(), &size);
        if (w != cmd_ok) return gm_wrapper_error(w);
        return gm_copy_out(reply.data(), size, pbOutput, pulOutputLen);
    });
}

uint32_t gm_rsa_private_operation(HCONTAINER hContainer, uint32_t ulKeySpec, const uint8_t* pbInput,
                                  uint32_t ulInputLen, uint8_t* pbOutput, uint32_t* pulOutputLen) {
    return gm_locked_call([&]() -> uint32_t {
        container_call c;
        if (const uint32_t rc = find_container(hContainer, true, c)) return rc;
        if (!pbInput || !pbOutput || !pulOutputLen) return SAR_INVALIDPARAMERR;
        // The reply lands in a buffer of its own: the output may be the input.
        uint8_t reply[rsa_private_reply];
        uint32_t size = sizeof reply;
        const cmd_result w = cmd_rsa_private(c.device(), c.app(), c.cont(), key_selector(ulKeySpec),
                                             pbInput, ulInputLen, reply, &size);
        if (w != cmd_ok) return gm_wrapper_error(w);
        // The raw operation maps a modulus-long block to another one.
        if (size != ulInputLen) return SAR_FAIL;
        return gm_copy_out(reply, size, pbOutput, pulOutputLen);
    });
}

uint32_t gm_delete_key_pair(HCONTAINER hContainer, uint32_t ulKeySpec) {
    return gm_locked_call([&]() -> uint32_t {
        container_call c;
        if (const uint32_t rc = find_container(hContainer, true, c)) return rc;
        return gm_wrapper_error(
            cmd_delete_key_pair(c.device(), c.app(), c.cont(), key_selector(ulKeySpec)));
    });
}

uint32_t gm_delete_certificate(HCONTAINER hContainer, uint32_t ulKeySpec) {
    return gm_locked_call([&]() -> uint32_t {
        container_call c;
        if (const uint32_t rc = find_container(hContainer, true, c)) return rc;
        return gm_wrapper_error(
            cmd_delete_certificate(c.device(), c.app(), c.cont(), key_selector(ulKeySpec)));
    });
}

uint32_t SKF_ExportPublicKey(HCONTAINER hContainer, uint32_t bSignFlag, uint8_t* pbBlob,
                             uint32_t* pulBlobLen) {
    return gm_locked_call([&]() -> uint32_t {
        container_call c;
        if (const uint32_t rc = find_container(hContainer, false, c)) return rc;
        if (!pulBlobLen) return SAR_INVALIDPARAMERR;
        uint8_t reply[512];
        uint32_t size = sizeof reply;
        const cmd_result w = cmd_export_public_key(c.device(), c.app(), c.cont(),
                                                   key_selector(bSignFlag), reply, &size);
        if (w != cmd_ok) return gm_wrapper_error(w);
        RSAPUBLICKEYBLOB rsa;
        ECCPUBLICKEYBLOB ecc;
        bool is_rsa = false;
        if (const uint32_t rc = public_key_record(std::span(reply, size), rsa, ecc, is_rsa))
            return rc;
        return is_rsa ? gm_copy_out(&rsa, sizeof rsa, pbBlob, pulBlobLen)
                      : gm_copy_out(&ecc, sizeof ecc, pbBlob, pulBlobLen);
    });
}

uint32_t SKF_GenECCKeyPair(HCONTAINER hContainer, uint32_t ulAlgId, ECCPUBLICKEYBLOB* pBlob) {
    if (hContainer == 0 || !pBlob) return SAR_INVALIDPARAMERR;
    return gm_locked_call([&]() -> uint32_t {
        container_call c;
        if (const uint32_t rc = find_container(hContainer, false, c)) return rc;
        if (!c.ref.app->user_logged_in) return GM_ECC_GEN_NOT_LOGGED_IN;
        if (ulAlgId != SGD_SM2_1 && ulAlgId != SGD_SM2_2) return SAR_INVALIDPARAMERR;
        // The card takes the key's bit length, not the algorithm id; no key
        // selector: the card chooses which pair it makes.
        uint8_t reply[256];
        uint32_t size = sizeof reply;
        const cmd_result w =
            cmd_gen_ecc_key_pair(c.device(), c.app(), c.cont(), sm2_bits, reply, &size);
        if (w != cmd_ok) return gm_wrapper_error(w);
        if (size != 2 * sm2_value) return SAR_FAIL;
        pBlob->BitLen = sm2_bits;
        put_sm2_value(pBlob->XCoordinate, reply);
        put_sm2_value(pBlob->YCoordinate, reply + sm2_value);
        return SAR_OK;
    });
}

uint32_t gm_import_plain_ecc_key_pair(HCONTAINER hContainer, uint32_t ulKeySpec,
                                      const ECCPUBLICKEYBLOB* pPubKey,
                                      const ECCPRIVATEKEYBLOB* pPriKey) {
    return gm_locked_call([&]() -> uint32_t {
        container_call c;
        if (const uint32_t rc = find_container(hContainer, false, c)) return rc;
        if (!pPubKey || !pPriKey) return SAR_INVALIDPARAMERR;
        std::array<uint8_t, sizeof(ECCPUBLICKEYBLOB) + ECC_MAX_MODULUS_LEN> data{};
        std::memcpy(data.data(), pPubKey, sizeof *pPubKey);
        std::memcpy(data.data() + sizeof *pPubKey, pPriKey->PrivateKey, ECC_MAX_MODULUS_LEN);
        return gm_wrapper_error(cmd_import_ext_ecc_key_pair(c.device(), c.app(), c.cont(),
                                                            key_selector(ulKeySpec), data.data(),
                                                            static_cast<uint32_t>(data.size())));
    });
}

uint32_t gm_ecc_sign_data(HCONTAINER hContainer, uint32_t ulKeySpec, const uint8_t* pbDigest,
                          uint32_t ulDigestLen, ECCSIGNATUREBLOB* pSignature) {
    return gm_locked_call([&]() -> uint32_t {
        container_call c;
        if (const uint32_t rc = find_container(hContainer, false, c)) return rc;
        if (ulDigestLen != sm2_value) return SAR_INDATALENERR;
        if (!pbDigest || !pSignature) return SAR_INVALIDPARAMERR;
        uint8_t reply[256];
        uint32_t size = sizeof reply;
        const cmd_result w = cmd_ecc_sign_data_ex(c.device(), c.app(), c.cont(),
                                                  sm2_sign_mode_digest, key_selector(ulKeySpec),
                                                  nullptr, 0, pbDigest, ulDigestLen, reply, &size);
        if (w != cmd_ok) return gm_wrapper_error(w);
        if (size != sm2_sign_reply) return SAR_FAIL;
        put_sm2_value(pSignature->r, reply + 4);
        put_sm2_value(pSignature->s, reply + 4 + sm2_value);
        return SAR_OK;
    });
}

uint32_t gm_ecc_private_decrypt(HCONTAINER hContainer, uint32_t ulKeySpec,
                                const ECCCIPHERBLOB* pCipher, uint8_t* pbPlain,
                                uint32_t* pulPlainLen) {
    return gm_locked_call([&]() -> uint32_t {
        container_call c;
        if (const uint32_t rc = find_container(hContainer, false, c)) return rc;
        if (!pCipher || !pulPlainLen) return SAR_INVALIDPARAMERR;
        const uint32_t cipher_len = pCipher->CipherLen;
        if (!pbPlain) {
            *pulPlainLen = cipher_len;
            return SAR_OK;
        }
        if (cipher_len > gm_sm2_decrypt_max) return SAR_INDATALENERR;
        std::array<uint8_t, sm2_cipher_head + gm_sm2_decrypt_max> form{};
        put_be32(sm2_bits, form.data());
        form[4] = 0x04; // uncompressed point C1
        std::memcpy(form.data() + 5, pCipher->XCoordinate + ECC_MAX_XCOORDINATE_LEN - sm2_value,
                    sm2_value);
        std::memcpy(form.data() + 5 + sm2_value,
                    pCipher->YCoordinate + ECC_MAX_YCOORDINATE_LEN - sm2_value, sm2_value);
        std::memcpy(form.data() + 5 + 2 * sm2_value, pCipher->HASH, sm2_value);
        put_be32(cipher_len, form.data() + 5 + 3 * sm2_value);
        // Cipher holds CipherLen bytes in the caller's record.
        std::memcpy(form.data() + sm2_cipher_head,
                    reinterpret_cast<const uint8_t*>(pCipher) + ECCCIPHERBLOB_FIXED_SIZE,
                    cipher_len);
        uint8_t reply[256];
        uint32_t size = sizeof reply;
        const cmd_result w =
            cmd_ecc_pri_decrypt(c.device(), c.app(), c.cont(), key_selector(ulKeySpec), form.data(),
                                static_cast<uint32_t>(sm2_cipher_head + cipher_len), reply, &size);
        if (w != cmd_ok) return gm_wrapper_error(w);
        // SM2 plain text is as long as its cipher part.
        if (size != cipher_len) return SAR_FAIL;
        return gm_copy_out(reply, size, pbPlain, pulPlainLen);
    });
}

// ---- Outside public keys, random numbers ----

uint32_t SKF_ExtRSAPubKeyOperation(DEVHANDLE hDev, const RSAPUBLICKEYBLOB* pPubKey,
                                   const uint8_t* pbInput, uint32_t ulInputLen, uint8_t* pbOutput,
                                   uint32_t* pulOutputLen) {
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        if (!dev || !pPubKey || !pbInput || !pulOutputLen) return SAR_INVALIDPARAMERR;
        if (ulInputLen != 128 && ulInputLen != 256) return SAR_INVALIDPARAMERR;
        // The key's modulus must be one the card takes and as long as the input.
        if (!rsa_bits_supported(pPubKey->BitLen) || pPubKey->BitLen / 8 != ulInputLen)
            return SAR_INVALIDPARAMERR;
        if (!pbOutput) {
            *pulOutputLen = ulInputLen;
            return SAR_OK;
        }
        const rsa_card_key key = to_card_form(*pPubKey);
        uint8_t reply[512];
        uint32_t size = sizeof reply;
        const cmd_result w = cmd_ex_rsa_pub_key_operation(dev->device, key.bytes.data(), key.length,
                                                          pbInput, ulInputLen, reply, &size);
        if (w != cmd_ok) return gm_wrapper_error(w);
        if (size != ulInputLen) return SAR_FAIL;
        return gm_copy_out(reply, size, pbOutput, pulOutputLen);
    });
}

uint32_t gm_rsa_verify(DEVHANDLE hDev, const RSAPUBLICKEYBLOB* pPubKey, uint32_t ulHashId,
                       const uint8_t* pbData, uint32_t ulDataLen, const uint8_t* pbSignature,
                       uint32_t ulSignLen) {
    if (hDev == 0 || !pPubKey || !pbData || !pbSignature || (ulSignLen != 128 && ulSignLen != 256))
        return SAR_INVALIDPARAMERR;
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        uint8_t hash = 0;
        if (!dev || !rsa_bits_supported(pPubKey->BitLen) || !card_hash_id(ulHashId, hash))
            return SAR_INVALIDPARAMERR;
        const rsa_card_key key = to_card_form(*pPubKey);
        return gm_wrapper_error(cmd_rsa_verify(dev->device, rsa_verify_mode, hash, key.bytes.data(),
                                               key.length, pbData, ulDataLen, pbSignature,
                                               ulSignLen));
    });
}

uint32_t SKF_ECCVerify(DEVHANDLE hDev, const ECCPUBLICKEYBLOB* pPubKey, const uint8_t* pbData,
                       uint32_t ulDataLen, const ECCSIGNATUREBLOB* pSignature) {
    if (!pPubKey || !pbData || !pSignature) return SAR_INVALIDPARAMERR;
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        if (!dev) return SAR_INVALIDPARAMERR;
        const auto key = to_card_form(*pPubKey);
        uint8_t signature[2 * sm2_value];
        std::memcpy(signature, pSignature->r + ECC_MAX_XCOORDINATE_LEN - sm2_value, sm2_value);
        std::memcpy(signature + sm2_value, pSignature->s + ECC_MAX_YCOORDINATE_LEN - sm2_value,
                    sm2_value);
        return gm_wrapper_error(cmd_ecc_verify(dev->device, key.data(),
                                               static_cast<uint32_t>(key.size()), pbData, ulDataLen,
                                               signature, sizeof signature));
    });
}

uint32_t SKF_ExtECCEncrypt(DEVHANDLE hDev, const ECCPUBLICKEYBLOB* pPubKey,
                           const uint8_t* pbPlainText, uint32_t ulPlainTextLen,
                           ECCCIPHERBLOB* pCipher) {
    if (!pPubKey || !pbPlainText || !pCipher) return SAR_INVALIDPARAMERR;
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        if (!dev) return SAR_INVALIDPARAMERR;
        // Longer texts would come back without their cipher bytes.
        if (ulPlainTextLen == 0 || ulPlainTextLen > gm_sm2_encrypt_max) return SAR_INDATALENERR;
        std::memset(pCipher, 0, sizeof *pCipher);
        const auto key = to_card_form(*pPubKey);
        std::vector<uint8_t> reply(ulPlainTextLen + 197);
        uint32_t size = static_cast<uint32_t>(reply.size());
        const cmd_result w =
            cmd_ex_ecc_encrypt(dev->device, key.data(), static_cast<uint32_t>(key.size()),
                               pbPlainText, ulPlainTextLen, reply.data(), &size);
        if (w != cmd_ok) return gm_wrapper_error(w);
        // C1 || C3 || C2 with a cipher exactly as long as the plain text.
        if (size < sm2_cipher_head) return SAR_FAIL;
        const uint32_t cipher_len = get_be32(reply.data() + 5 + 3 * sm2_value);
        if (cipher_len != ulPlainTextLen || size != sm2_cipher_head + cipher_len) return SAR_FAIL;
        put_sm2_value(pCipher->XCoordinate, reply.data() + 5);
        put_sm2_value(pCipher->YCoordinate, reply.data() + 5 + sm2_value);
        std::memcpy(pCipher->HASH, reply.data() + 5 + 2 * sm2_value, sm2_value);
        pCipher->CipherLen = cipher_len;
        std::memcpy(reinterpret_cast<uint8_t*>(pCipher) + ECCCIPHERBLOB_FIXED_SIZE,
                    reply.data() + sm2_cipher_head, cipher_len);
        return SAR_OK;
    });
}

uint32_t SKF_GenRandom(DEVHANDLE hDev, uint8_t* pbRandom, uint32_t ulRandomLen) {
    if (hDev == 0 || !pbRandom) return SAR_INVALIDPARAMERR;
    return gm_locked_call([&]() -> uint32_t {
        gm_sc_dev* dev = gm_find_dev(hDev);
        if (!dev) return SAR_INVALIDPARAMERR;
        if (ulRandomLen == 0) return SAR_OK;
        // Everything is drawn first: a failing piece leaves the caller's
        // buffer untouched.
        std::vector<uint8_t> random(ulRandomLen);
        uint32_t done = 0;
        while (done < ulRandomLen) {
            const uint32_t piece = std::min(gm_random_piece, ulRandomLen - done);
            if (const cmd_result w = cmd_gen_random(dev->device, random.data() + done, piece);
                w != cmd_ok)
                return gm_wrapper_error(w);
            done += piece;
        }
        std::memcpy(pbRandom, random.data(), ulRandomLen);
        return SAR_OK;
    });
}
