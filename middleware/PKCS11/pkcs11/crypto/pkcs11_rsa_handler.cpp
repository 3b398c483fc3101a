// The token's RSA handler: the card work behind the RSA key contexts.
#include <cstring>
#include <vector>

#include "pkcs11_container_mgr.h"
#include "pkcs11_device_rv.h"
#include "pkcs11_key_container.h"
#include "pkcs11_object.h"
#include "pkcs11_rsa.h"
#include "pkcs11_rsa_internal.h"
#include "pkcs11_token.h"

CK_RV key_bytes(pkcs11_token* token, pkcs11_object& key, uint32_t& k) {
    if (CK_RV rv = complete_key(token, key); rv != CKR_OK) return rv;
    uint32_t bits = 0;
    if (CK_RV rv = rsa_modulus_bits(key, bits); rv != CKR_OK) return rv;
    k = bits / 8;
    return CKR_OK;
}

// ---- the handler ----

CK_RV pkcs11_token_rsa_handler::rsa_public_blob(pkcs11_object& key, RSAPUBLICKEYBLOB& blob) {
    if (CK_RV rv = complete_key(token_, key); rv != CKR_OK) return rv;
    const pkcs11_attribute* modulus = key.attributes().find(CKA_MODULUS);
    const pkcs11_attribute* exponent = key.attributes().find(CKA_PUBLIC_EXPONENT);
    if (modulus == nullptr || exponent == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    // Leading zero bytes are no part of the number.
    const uint8_t* m = modulus->value.data();
    uint32_t m_len = modulus->length();
    while (m_len > 0 && *m == 0)
        ++m, --m_len;
    const uint8_t* e = exponent->value.data();
    uint32_t e_len = exponent->length();
    while (e_len > 0 && *e == 0)
        ++e, --e_len;
    if (m_len > sizeof blob.Modulus) return CKR_KEY_SIZE_RANGE;
    if (e_len > sizeof blob.PublicExponent || e_len == 0) return CKR_ATTRIBUTE_VALUE_INVALID;
    std::memset(&blob, 0, sizeof blob);
    blob.AlgID = SGD_RSA;
    blob.BitLen = 8 * m_len;
    std::memcpy(blob.Modulus + sizeof blob.Modulus - m_len, m, m_len);
    std::memcpy(blob.PublicExponent + sizeof blob.PublicExponent - e_len, e, e_len);
    return CKR_OK;
}

CK_RV pkcs11_token_rsa_handler::rsa_sign(pkcs11_object& key, uint32_t hash_id, const uint8_t* data,
                                         uint32_t len, uint8_t* sig, uint32_t* sig_len) {
    uint32_t k = 0;
    if (CK_RV rv = key_bytes(token_, key, k); rv != CKR_OK) return rv;
    if (*sig_len < k && sig != nullptr) return CKR_BUFFER_TOO_SMALL;
    if (len > k - 11) return CKR_DATA_LEN_RANGE;
    if (sig == nullptr) {
        *sig_len = k;
        return CKR_OK;
    }
    pkcs11_container* c = nullptr;
    if (CK_RV rv = open_key_container(*token_, key, c); rv != CKR_OK) return rv;
    uint32_t produced = k;
    const uint32_t rv =
        gm_rsa_sign_data(c->handle, device_key_spec(key), hash_id, data, len, sig, &produced);
    close_container(c);
    if (rv != SAR_OK) return ckr_from_sar(rv, sar_use::private_key);
    if (produced != 128 && produced != 256) return CKR_DEVICE_ERROR;
    *sig_len = produced;
    return CKR_OK;
}

CK_RV pkcs11_token_rsa_handler::rsa_verify(pkcs11_object& key, uint32_t hash_id,
                                           const uint8_t* data, uint32_t len, const uint8_t* sig,
                                           uint32_t sig_len) {
    uint32_t k = 0;
    if (CK_RV rv = key_bytes(token_, key, k); rv != CKR_OK) return rv;
    if (len > k - 11) return CKR_DATA_LEN_RANGE;
    if (sig_len != k) return CKR_SIGNATURE_LEN_RANGE;
    RSAPUBLICKEYBLOB blob{};
    if (CK_RV rv = rsa_public_blob(key, blob); rv != CKR_OK) return rv;
    static const uint8_t empty = 0;
    const uint32_t rv = gm_rsa_verify(token_->device_handle(), &blob, hash_id,
                                      data != nullptr ? data : &empty, len, sig, sig_len);
    return ckr_from_sar(rv, sar_use::verify);
}

CK_RV pkcs11_token_rsa_handler::rsa_public_raw(pkcs11_object& key, uint32_t len, uint8_t* buffer) {
    uint32_t k = 0;
    if (CK_RV rv = key_bytes(token_, key, k); rv != CKR_OK) return rv;
    if (len != k) return CKR_DATA_LEN_RANGE;
    RSAPUBLICKEYBLOB blob{};
    if (CK_RV rv = rsa_public_blob(key, blob); rv != CKR_OK) return rv;
    uint32_t out_len = len;
    return SKF_ExtRSAPubKeyOperation(token_->device_handle(), &blob, buffer, len, buffer, &out_len);
}

CK_RV pkcs11_token_rsa_handler::rsa_private_raw(pkcs11_object& key, uint32_t len, uint8_t* buffer) {
    uint32_t k = 0;
    if (CK_RV rv = key_bytes(token_, key, k); rv != CKR_OK) return rv;
    if (len != k) return CKR_DATA_LEN_RANGE;
    pkcs11_container* c = nullptr;
    if (CK_RV rv = open_key_container(*token_, key, c); rv != CKR_OK) return rv;
    uint32_t out_len = len;
    return ckr_from_sar(
        gm_rsa_private_operation(c->handle, device_key_spec(key), buffer, len, buffer, &out_len),
        sar_use::private_key);
}

CK_RV pkcs11_token_rsa_handler::rsa_encrypt(pkcs11_object& key, uint32_t len, const uint8_t* data,
                                            uint32_t* out_len, uint8_t* out) {
    uint32_t k = 0;
    if (CK_RV rv = key_bytes(token_, key, k); rv != CKR_OK) return rv;
    if (len > k - 11) return CKR_DATA_LEN_RANGE;
    if (out == nullptr) {
        *out_len = k;
        return CKR_OK;
    }
    if (*out_len < k) return CKR_BUFFER_TOO_SMALL;
    RSAPUBLICKEYBLOB blob{};
    if (CK_RV rv = rsa_public_blob(key, blob); rv != CKR_OK) return rv;
    std::vector<uint8_t> block(k);
    if (CK_RV rv = pkcs1_type2_pad(block.data(), k, data, len); rv != CKR_OK) return rv;
    uint32_t produced = k;
    if (const uint32_t rv = SKF_ExtRSAPubKeyOperation(token_->device_handle(), &blob, block.data(),
                                                      k, block.data(), &produced);
        rv != SAR_OK)
        return rv;
    if (produced != k) return CKR_DEVICE_ERROR;
    std::memcpy(out, block.data(), k);
    *out_len = k;
    return CKR_OK;
}

CK_RV pkcs11_token_rsa_handler::rsa_decrypt(pkcs11_object& key, uint32_t len, const uint8_t* data,
                                            uint32_t* out_len, uint8_t* out) {
    uint32_t k = 0;
    if (CK_RV rv = key_bytes(token_, key, k); rv != CKR_OK) return rv;
    if (len != k || *out_len < k - 11) return CKR_DATA_LEN_RANGE;
    pkcs11_container* c = nullptr;
    if (CK_RV rv = open_key_container(*token_, key, c); rv != CKR_OK) return rv;
    return ckr_from_sar(
        gm_rsa_private_decrypt(c->handle, device_key_spec(key), data, len, out, out_len),
        sar_use::private_key);
}

CK_RV pkcs11_token_rsa_handler::rsa_wrap(pkcs11_object& key, pkcs11_object& to_wrap, uint8_t* out,
                                         uint32_t* out_len) {
    const pkcs11_attribute* value = to_wrap.attributes().find(CKA_VALUE);
    if (value == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (value->length() > 64) return CKR_BUFFER_TOO_SMALL;
    return rsa_encrypt(key, value->length(), value->value.data(), out_len, out);
}

CK_RV pkcs11_token_rsa_handler::rsa_generate_pair(const char* container_name,
                                                  pkcs11_object& public_key,
                                                  pkcs11_object& private_key) {
    const uint32_t spec =
        public_key.object_key_spec() == key_spec_signature ? key_spec_signature : key_spec_exchange;
    uint32_t bits = 0;
    if (rsa_modulus_bits(public_key, bits) != CKR_OK) return CKR_ATTRIBUTE_VALUE_INVALID;
    pkcs11_container* c = nullptr;
    if (CK_RV rv = open_key_container(*token_, public_key, c); rv != CKR_OK) return rv;
    RSAPUBLICKEYBLOB blob{};
    if (const uint32_t rv = gm_gen_rsa_key_pair(c->handle, device_key_spec(spec), bits, &blob);
        rv != SAR_OK)
        return rv;
    key_pair_keep_id(*token_, container_name, public_key);

    const uint32_t k = bits / 8;
    const uint8_t* modulus = blob.Modulus + sizeof blob.Modulus - k;
    key_pair_mark_generated(public_key, private_key, CKK_RSA, spec);
    public_key.object_set_attribute(CKA_MODULUS_BITS, &bits, 4);
    key_pair_set(public_key, private_key, CKA_MODULUS, modulus, k);
    key_pair_set(public_key, private_key, CKA_PUBLIC_EXPONENT, blob.PublicExponent, 4);
    return CKR_OK;
}
