// Key objects built from key containers, the identifier files that keep a
// pair's CKA_ID, and the import of private keys into containers.
#include "pkcs11_container_mgr.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>

#include "key_parser.h"
#include "pkcs11_container_internal.h"
#include "pkcs11_token.h"
#include "sm2_codec.h"

namespace {

constexpr uint32_t rsa_public_blob_size = sizeof(RSAPUBLICKEYBLOB);
constexpr uint32_t ecc_public_blob_size = sizeof(ECCPUBLICKEYBLOB);

struct rsa_holder {
    rsa_holder() { mbedtls_rsa_init(&ctx, MBEDTLS_RSA_PKCS_V15, 0); }
    ~rsa_holder() { mbedtls_rsa_free(&ctx); }
    rsa_holder(const rsa_holder&) = delete;
    rsa_holder& operator=(const rsa_holder&) = delete;
    mbedtls_rsa_context ctx;
};

// A key read back from its container and the other half of its pair: the
// public half gets set_public, the private half set_private and the
// container's label. The partner is the other half of the same pair (same
// container, same key spec: an exchange key never lends its public values to
// a signature key), found by `partner` from the class it must have.
template <typename Public, typename Private, typename Partner>
void fill_key_pair(pkcs11_object& object, const std::vector<uint8_t>& label,
                   const Public& set_public, const Private& set_private, const Partner& partner) {
    if (object.object_class() == CKO_PUBLIC_KEY) {
        set_public(object);
        if (pkcs11_object* other = partner(CKO_PRIVATE_KEY)) {
            set_private(*other);
            other->object_set_attribute(CKA_LABEL, label.data(),
                                        static_cast<uint32_t>(label.size()));
        }
    } else {
        set_private(object);
        if (pkcs11_object* other = partner(CKO_PUBLIC_KEY)) set_public(*other);
    }
}

} // namespace

CK_RV rsa_private_blob_from_object(const pkcs11_object& object, RSAPRIVATEKEYBLOB& blob) {
    std::memset(&blob, 0, sizeof blob);
    const auto n = attribute_bytes(object, CKA_MODULUS);
    const auto e = attribute_bytes(object, CKA_PUBLIC_EXPONENT);
    const auto d = attribute_bytes(object, CKA_PRIVATE_EXPONENT);
    if (!n || !e || !d) return CKR_TEMPLATE_INCOMPLETE;
    const auto p = attribute_bytes(object, CKA_PRIME_1);
    const auto q = attribute_bytes(object, CKA_PRIME_2);
    const bool crt = p && q && object.attributes().has(CKA_EXPONENT_1) &&
                     object.attributes().has(CKA_EXPONENT_2) &&
                     object.attributes().has(CKA_COEFFICIENT);

    const auto nn = significant(*n);
    const auto ee = significant(*e);
    const auto dd = significant(*d);
    if (nn.size() != 128 && nn.size() != 256) return CKR_KEY_SIZE_RANGE;
    if (ee.empty() || ee.size() > sizeof blob.PublicExponent || dd.empty() || dd.size() > nn.size())
        return CKR_ATTRIBUTE_VALUE_INVALID;

    // mbed TLS checks the key and derives what the object lacks: the primes
    // from n, e and d, and the CRT values from the primes.
    rsa_holder rsa;
    int ret = 0;
    if (crt) {
        const auto pp = significant(*p);
        const auto qq = significant(*q);
        if (pp.empty() || qq.empty() || pp.size() > nn.size() / 2 || qq.size() > nn.size() / 2)
            return CKR_ATTRIBUTE_VALUE_INVALID;
        ret =
            mbedtls_rsa_import_raw(&rsa.ctx, nn.data(), nn.size(), pp.data(), pp.size(), qq.data(),
                                   qq.size(), dd.data(), dd.size(), ee.data(), ee.size());
    } else {
        ret = mbedtls_rsa_import_raw(&rsa.ctx, nn.data(), nn.size(), nullptr, 0, nullptr, 0,
                                     dd.data(), dd.size(), ee.data(), ee.size());
    }
    if (ret != 0 || mbedtls_rsa_complete(&rsa.ctx) != 0 || mbedtls_rsa_check_privkey(&rsa.ctx) != 0)
        return CKR_ATTRIBUTE_VALUE_INVALID;

    // The blob is written as the key parser writes an imported DER key.
    if (rsa_context_to_blob(&rsa.ctx, &blob) != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
    return CKR_OK;
}

std::optional<std::vector<uint8_t>>
pkcs11_container_manager::read_key_id_file(std::string_view name) {
    if (container_name_reserved(name) || name.size() > gm_file_name_max || application_ == 0)
        return std::nullopt;
    const std::string text(name);
    std::vector<uint8_t> bytes(key_id_file_max);
    uint32_t got = static_cast<uint32_t>(bytes.size());
    if (SKF_ReadFile(application_, text.c_str(), 0, static_cast<uint32_t>(bytes.size()),
                     bytes.data(), &got) != SAR_OK)
        return std::nullopt;
    bytes.resize(std::min<size_t>(got, bytes.size()));
    return bytes;
}

CK_RV pkcs11_container_manager::container_write_key_id(std::string_view name,
                                                       std::span<const uint8_t> id) {
    if (id.empty() || id.size() > key_id_file_max) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (!container_name_acceptable(name) || name.size() > gm_file_name_max)
        return CKR_ARGUMENTS_BAD;
    HAPPLICATION app = 0;
    if (CK_RV rv = application_handle(app); rv != CKR_OK) return rv;
    const std::string text(name);
    const auto size = static_cast<uint32_t>(id.size());
    uint32_t rv =
        SKF_CreateFile(app, text.c_str(), size, SECURE_ANYONE_ACCOUNT, SECURE_ANYONE_ACCOUNT);
    if (rv == SAR_FILE_ALREADY_EXIST) {
        // A file's size is fixed: one of another length is made anew, so no
        // tail of an older identifier is left behind.
        FILEATTRIBUTE info{};
        if (SKF_GetFileInfo(app, text.c_str(), &info) == SAR_OK && info.FileSize == size) {
            rv = SAR_OK;
        } else {
            (void)SKF_DeleteFile(app, text.c_str());
            rv = SKF_CreateFile(app, text.c_str(), size, SECURE_ANYONE_ACCOUNT,
                                SECURE_ANYONE_ACCOUNT);
        }
    }
    if (rv != SAR_OK) return rv;
    return SKF_WriteFile(app, text.c_str(), 0, id.data(), size);
}

pkcs11_object* pkcs11_container_manager::find_partner(const pkcs11_object& object,
                                                      uint32_t partner_class) {
    const auto name = attribute_bytes(object, ZELT_CKA_CONTAINER_NAME);
    if (!name) return nullptr;
    const uint32_t spec = object.object_key_spec();
    for (const auto& o : token_.objects().objects()) {
        if (o.get() == &object || o->object_class() != partner_class) continue;
        if (o->object_key_spec() != spec) continue;
        const auto other = attribute_bytes(*o, ZELT_CKA_CONTAINER_NAME);
        if (other && stored_text(*other) == stored_text(*name)) return o.get();
    }
    return nullptr;
}

CK_RV pkcs11_container_manager::build_key_pair(pkcs11_container& container, bool sm2,
                                               uint32_t key_spec, uint32_t bits) {
    const std::vector<uint8_t> id =
        container_key_id(container.text(), key_spec, read_key_id_file(container.text()));
    const std::vector<uint8_t> label = with_nul(container.text());
    const uint32_t key_type =
        sm2 ? static_cast<uint32_t>(ZELT_CKK_SM2) : static_cast<uint32_t>(CKK_RSA);
    const uint32_t public_class = CKO_PUBLIC_KEY;
    const uint32_t private_class = CKO_PRIVATE_KEY;

    std::vector<inner_attribute> pub{entry(CKA_CLASS, &public_class, 4),
                                     entry(CKA_ID, id.data(), id.size())};
    if (!sm2) pub.push_back(entry(CKA_MODULUS_BITS, &bits, 4));
    pub.insert(pub.end(),
               {entry(CKA_KEY_TYPE, &key_type, 4), entry(CKA_LOCAL, &ck_true, 1),
                entry(CKA_TOKEN, &ck_true, 1), entry(CKA_VERIFY, &ck_true, 1),
                entry(CKA_ENCRYPT, &ck_true, 1), entry(CKA_LABEL, label.data(), label.size()),
                entry(ZELT_CKA_KEY_SPEC, &key_spec, 4),
                entry(ZELT_CKA_CONTAINER_NAME, label.data(), label.size())});

    std::vector<inner_attribute> priv{entry(CKA_CLASS, &private_class, 4),
                                      entry(CKA_ID, id.data(), id.size()),
                                      entry(CKA_KEY_TYPE, &key_type, 4)};
    if (!sm2) priv.push_back(entry(CKA_MODULUS_BITS, &bits, 4));
    priv.insert(priv.end(), {entry(CKA_LOCAL, &ck_true, 1), entry(CKA_TOKEN, &ck_true, 1),
                             entry(CKA_DECRYPT, &ck_true, 1), entry(CKA_SIGN, &ck_true, 1),
                             entry(CKA_LABEL, label.data(), label.size()),
                             entry(ZELT_CKA_KEY_SPEC, &key_spec, 4),
                             entry(ZELT_CKA_CONTAINER_NAME, label.data(), label.size())});

    // The public key is read with the objects: it is what tells this pair
    // from one generated into the container later. A pair whose public key
    // cannot be read leaves its container unread.
    CK_RV rv = CKR_OK;
    auto public_key = pkcs11_object::create(0, CKO_PUBLIC_KEY, pub.data(),
                                            static_cast<uint32_t>(pub.size()), &rv);
    if (public_key == nullptr) return rv;
    token_.objects().add(public_key);
    CK_RV loaded = sm2 ? CKR_OK : container_load_rsa_public(*public_key);
    auto private_key = pkcs11_object::create(0, CKO_PRIVATE_KEY, priv.data(),
                                             static_cast<uint32_t>(priv.size()), &rv);
    if (private_key == nullptr) return rv;
    token_.objects().add(private_key);
    // One reading fills both halves of an SM2 pair.
    const CK_RV second =
        sm2 ? load_sm2_public(*private_key, &id) : container_load_rsa_public(*private_key);
    if (loaded == CKR_OK) loaded = second;
    return loaded;
}

CK_RV pkcs11_container_manager::container_build_objects(pkcs11_container& container) {
    if (CK_RV rv = container_open(container); rv != CKR_OK) return rv;
    uint8_t type = 0;
    uint32_t sign_bits = 0;
    uint32_t exch_bits = 0;
    uint8_t sign_cert = 0;
    uint8_t exch_cert = 0;
    if (const uint32_t rv = gm_get_container_info(container.handle, &type, &sign_bits, &exch_bits,
                                                  &sign_cert, &exch_cert);
        rv != SAR_OK)
        return rv;
    CK_RV keys = CKR_OK;
    if (type == gm_container_rsa || type == gm_container_sm2) {
        const bool sm2 = type == gm_container_sm2;
        if (sign_bits != 0) keys = build_key_pair(container, sm2, key_spec_signature, sign_bits);
        if (exch_bits != 0) {
            const CK_RV rv = build_key_pair(container, sm2, key_spec_exchange, exch_bits);
            if (keys == CKR_OK) keys = rv;
        }
    }
    if (sign_cert != 0) (void)build_certificate(container, key_spec_signature);
    if (exch_cert != 0) (void)build_certificate(container, key_spec_exchange);
    return keys;
}

CK_RV pkcs11_container_manager::container_load_rsa_public(pkcs11_object& object) {
    const uint32_t key_spec = object.object_key_spec();
    uint32_t bits = 256;
    const pkcs11_attribute* kt = object.attributes().find(CKA_KEY_TYPE);
    if (kt != nullptr && kt->length() == 4 && kt->as_u32() == CKK_RSA) {
        if (CK_RV rv = object.object_rsa_bits(bits); rv != CKR_OK) return rv;
    }
    pkcs11_container* container = nullptr;
    if (CK_RV rv = container_open_for_object(object, container); rv != CKR_OK) return rv;
    RSAPUBLICKEYBLOB blob{};
    uint32_t length = rsa_public_blob_size;
    if (const uint32_t rv = SKF_ExportPublicKey(container->handle, key_spec == key_spec_signature,
                                                reinterpret_cast<uint8_t*>(&blob), &length);
        rv != SAR_OK)
        return rv;
    const uint32_t bytes = bits / 8;
    if (length < bytes || bytes > sizeof blob.Modulus) return CKR_DEVICE_ERROR;
    const uint8_t* modulus = blob.Modulus + (sizeof blob.Modulus - bytes);
    const uint8_t* exponent = blob.PublicExponent;
    const std::vector<uint8_t> id =
        container_key_id(container->text(), key_spec, read_key_id_file(container->text()));
    const std::vector<uint8_t> label = with_nul(container->text());
    const uint32_t rsa = CKK_RSA;

    const auto set_public = [&](pkcs11_object& o) {
        o.object_set_attribute(CKA_ID, id.data(), static_cast<uint32_t>(id.size()));
        o.object_set_attribute(CKA_MODULUS_BITS, &bits, 4);
        o.object_set_attribute(CKA_KEY_TYPE, &rsa, 4);
        o.object_set_attribute(CKA_MODULUS, modulus, bytes);
        o.object_set_attribute(CKA_LABEL, label.data(), static_cast<uint32_t>(label.size()));
        o.object_set_attribute(CKA_PUBLIC_EXPONENT, exponent, 4);
    };
    const auto set_private = [&](pkcs11_object& o) {
        o.object_set_attribute(CKA_MODULUS_BITS, &bits, 4);
        o.object_set_attribute(CKA_MODULUS, modulus, bytes);
        o.object_set_attribute(CKA_PUBLIC_EXPONENT, exponent, 4);
    };
    fill_key_pair(object, label, set_public, set_private,
                  [&](uint32_t partner_class) { return find_partner(object, partner_class); });
    return CKR_OK;
}

CK_RV pkcs11_container_manager::container_load_sm2_public(pkcs11_object& object) {
    return load_sm2_public(object, nullptr);
}

CK_RV pkcs11_container_manager::load_sm2_public(pkcs11_object& object,
                                                const std::vector<uint8_t>* known_id) {
    const uint32_t key_spec = object.object_key_spec();
    pkcs11_container* container = nullptr;
    if (CK_RV rv = container_open_for_object(object, container); rv != CKR_OK) return rv;
    ECCPUBLICKEYBLOB blob{};
    uint32_t length = ecc_public_blob_size;
    if (const uint32_t rv = SKF_ExportPublicKey(container->handle, key_spec == key_spec_signature,
                                                reinterpret_cast<uint8_t*>(&blob), &length);
        rv != SAR_OK)
        return rv;
    if (length < ecc_public_blob_size) return CKR_DEVICE_ERROR;
    const auto point = sm2_point_attribute(blob.XCoordinate + 32, blob.YCoordinate + 32);
    // Z of the default signer identity and this key (GM/T 0009).
    uint8_t z[sm2_z_size];
    sm2_compute_z(blob, z);
    const std::vector<uint8_t> id =
        known_id != nullptr
            ? *known_id
            : container_key_id(container->text(), key_spec, read_key_id_file(container->text()));
    const std::vector<uint8_t> label = with_nul(container->text());
    const uint32_t sm2 = static_cast<uint32_t>(ZELT_CKK_SM2);

    const auto set_public = [&](pkcs11_object& o) {
        o.object_set_attribute(CKA_KEY_TYPE, &sm2, 4);
        o.object_set_attribute(CKA_VALUE, &blob, sizeof blob);
        o.object_set_attribute(CKA_EC_POINT, point.data(), point.size());
        o.object_set_attribute(CKA_LABEL, label.data(), static_cast<uint32_t>(label.size()));
        o.object_set_attribute(ZELT_CKA_SM2_ZA, z, sizeof z);
    };
    const auto set_private = [&](pkcs11_object& o) {
        o.object_set_attribute(CKA_KEY_TYPE, &sm2, 4);
        o.object_set_attribute(CKA_EC_POINT, point.data(), point.size());
        o.object_set_attribute(ZELT_CKA_SM2_ZA, z, sizeof z);
    };
    object.object_set_attribute(CKA_ID, id.data(), static_cast<uint32_t>(id.size()));
    fill_key_pair(object, label, set_public, set_private,
                  [&](uint32_t partner_class) { return find_partner(object, partner_class); });
    return CKR_OK;
}

CK_RV pkcs11_container_manager::container_import_private_key(pkcs11_object& object) {
    if (object.object_class() != CKO_PRIVATE_KEY) return CKR_TEMPLATE_INCONSISTENT;
    const pkcs11_attribute* kt = object.attributes().find(CKA_KEY_TYPE);
    if (kt == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (kt->length() > 4) return CKR_BUFFER_TOO_SMALL;
    const uint32_t key_spec = object.object_key_spec();
    const auto id = attribute_bytes(object, CKA_ID);

    if (kt->as_u32() == CKK_RSA) {
        RSAPRIVATEKEYBLOB blob{};
        CK_RV rv = rsa_private_blob_from_object(object, blob);
        if (rv == CKR_OK) {
            pkcs11_container* container = nullptr;
            bool created = false;
            rv = container_for_object(object, container, &created);
            if (rv == CKR_OK) {
                rv = gm_import_plain_rsa_key_pair(container->handle, device_key_spec(key_spec),
                                                  &blob);
                if (rv != SAR_OK) discard_new_container(container, created);
                if (rv == SAR_OK) {
                    update_map();
                    if (id && !id->empty() && id->size() <= key_id_file_max)
                        (void)container_write_key_id(container->text(), *id);
                }
            }
        }
        mbedtls_platform_zeroize(&blob, sizeof blob);
        // The private components never stay in memory.
        for (uint32_t type : {CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2,
                              CKA_COEFFICIENT, CKA_PRIVATE_EXPONENT})
            object.object_remove_attribute(type);
        return rv;
    }

    // SM2: the private value with the public point of the public key of the same CKA_ID.
    const auto value = attribute_bytes(object, CKA_VALUE);
    if (!value) return CKR_TEMPLATE_INCOMPLETE;
    if (!id) return CKR_KEY_NEEDED;
    const pkcs11_object* public_key = nullptr;
    for (const auto& o : token_.objects().objects()) {
        if (o->object_class() != CKO_PUBLIC_KEY) continue;
        const auto other = attribute_bytes(*o, CKA_ID);
        if (other && *other == *id) {
            public_key = o.get();
            break;
        }
    }
    if (public_key == nullptr) return CKR_KEY_NEEDED;
    const auto point = attribute_bytes(*public_key, CKA_EC_POINT);
    if (!point) return CKR_KEY_NEEDED;
    if (point->size() > 256 || value->size() > 256) return CKR_BUFFER_TOO_SMALL;
    if (point->size() < 65 || (*point)[0] != 0x04 || value->size() < 32) return CKR_DATA_INVALID;
    pkcs11_container* container = nullptr;
    bool created = false;
    if (CK_RV rv = container_for_object(object, container, &created); rv != CKR_OK) return rv;
    ECCPUBLICKEYBLOB pub{};
    ECCPRIVATEKEYBLOB priv{};
    pub.BitLen = 256;
    priv.BitLen = 256;
    const uint8_t* xy = point->data() + point->size() - 64;
    std::memcpy(pub.XCoordinate + 32, xy, 32);
    std::memcpy(pub.YCoordinate + 32, xy + 32, 32);
    std::memcpy(priv.PrivateKey + 32, value->data() + value->size() - 32, 32);
    const uint32_t rv =
        gm_import_plain_ecc_key_pair(container->handle, device_key_spec(key_spec), &pub, &priv);
    mbedtls_platform_zeroize(&priv, sizeof priv);
    // As for RSA keys, the private value never stays in memory: the card holds it.
    // (Overwritten with zeros in place first: assigning the same length keeps the storage.)
    object.object_set_attribute(CKA_VALUE, nullptr, static_cast<uint32_t>(value->size()));
    object.object_remove_attribute(CKA_VALUE);
    if (rv != SAR_OK) discard_new_container(container, created);
    if (rv == SAR_OK) {
        update_map();
        if (!id->empty() && id->size() <= key_id_file_max)
            (void)container_write_key_id(container->text(), *id);
        // The point of the pair, as a private key read back from the card
        // has it: what tells this key from another put into the container.
        const auto stored = sm2_point_attribute(xy, xy + 32);
        object.object_set_attribute(CKA_EC_POINT, stored.data(),
                                    static_cast<uint32_t>(stored.size()));
    }
    return rv;
}

CK_RV pkcs11_container_manager::secret_key_release_handle(pkcs11_object& object) {
    const pkcs11_attribute* a = object.attributes().find(ZELT_CKA_GM_HANDLE);
    if (a == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (a->length() > 8) return CKR_BUFFER_TOO_SMALL;
    uint64_t handle = 0;
    std::memcpy(&handle, a->value.data(), a->length());
    if (handle == 0) return CKR_OK;
    const uint32_t rv = SKF_CloseHandle(static_cast<HANDLE>(handle));
    const uint64_t zero = 0;
    object.object_set_attribute(ZELT_CKA_GM_HANDLE, &zero, a->length());
    return rv;
}
