// Key containers of a token's application and the PKCS#11 objects built from
// them, the identifier file kept per container, and the token-wide change
// counter "CacheFile".
//
// A container (GM/T 0016) holds at most a signature key pair, an exchange key
// pair and a certificate for each, so it yields up to six objects: signature
// public and private key, exchange public and private key, signature and
// exchange certificate. Key spec 2 (ZELT_CKA_KEY_SPEC) is the signature pair,
// 1 the exchange pair.
//
// The identifier file is a token file named exactly like the container that
// holds the CKA_ID of its keys, so that an application's identifier survives
// a reload. "CacheFile" holds a 4-byte little-endian counter that every
// process bumps after it changed stored objects; a process that reads a value
// other than the one it last saw reloads its objects.
//
// Everything here runs under the library lock, which is system-wide, so the
// read-modify-write of "CacheFile" cannot interleave with another process's.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "gm_api.h"
#include "pkcs11.h"
#include "pkcs11_object.h"

class pkcs11_token;

inline constexpr CK_RV ZELT_CKR_CONTAINER_NOT_FOUND = 0x800003E8UL;
inline constexpr CK_RV ZELT_CKR_CONTAINER_EXISTS = 0x800003E9UL;

inline constexpr const char* cache_file_name = "CacheFile";
inline constexpr uint32_t cache_file_size = 4;

inline constexpr uint32_t key_spec_exchange = 1;
inline constexpr uint32_t key_spec_signature = 2;

// The device API's selector of a key spec's pair: the signature pair for key
// spec 2, the exchange pair for any other.
inline uint32_t device_key_spec(uint32_t key_spec) {
    return key_spec == key_spec_signature ? gm_key_spec_signature : gm_key_spec_exchange;
}

inline constexpr uint32_t container_name_capacity = 256;
// Identifier files: written with at most this many bytes, read back whole.
inline constexpr uint32_t key_id_file_max = 128;
inline constexpr size_t generated_container_name_length = 25; // "cont_" + 20 hex

// ---- rules that need no card ----

// Names of the token's own files. A container of such a name would have its
// identifier file overwrite or delete that file, so it is refused.
bool container_name_reserved(std::string_view name);
// A name the module can give a container: not empty, shorter than the card's
// 40-character limit, no NUL, not a reserved file name.
bool container_name_acceptable(std::string_view name);
// "cont_" followed by 20 random lower-case hexadecimal characters.
std::string generate_container_name();

// Which existing container a wanted name for a new key may name.
enum class container_reuse {
    none,                // only a name no listed container has (certificates)
    without_key_of_spec, // also a container without a key pair of that spec (key generation)
};

// CKA_ID of a container's keys. With the identifier file's content (read
// whole): those bytes. Without one: the container name, its NUL and, for the
// signature pair, an 'S'.
std::vector<uint8_t> container_key_id(std::string_view name, uint32_t key_spec,
                                      const std::optional<std::vector<uint8_t>>& id_file);

// The RSAPRIVATEKEYBLOB of a private-key object. The object must carry the
// modulus, the public and the private exponent; the primes, CRT exponents and
// coefficient are taken when all five are present and are otherwise derived
// from the first three. Numbers are stripped of leading zeros and must fit
// their fields: a 1024- or 2048-bit modulus (else CKR_KEY_SIZE_RANGE), an
// exponent of at most 4 bytes, halves of at most modulus/2 bytes (else
// CKR_ATTRIBUTE_VALUE_INVALID). A missing component: CKR_TEMPLATE_INCOMPLETE.
CK_RV rsa_private_blob_from_object(const pkcs11_object& object, RSAPRIVATEKEYBLOB& blob);

// The file behind the change counter; the card's in production, a stand-in
// in tests. Results are device-API codes.
class counter_file {
  public:
    virtual ~counter_file() = default;
    virtual uint32_t read(uint32_t& value) = 0; // 4 bytes little-endian at offset 0
    virtual uint32_t write(uint32_t value) = 0;
    virtual uint32_t create() = 0; // size 4, read and write rights 0xFF
};

// The change counter one process holds for one token.
class cache_counter {
  public:
    // The value this process last saw; nullopt before the first read.
    std::optional<uint32_t> value() const { return counter_; }
    // Creates the file, then bumps it (a new token holds 1). The creation's result.
    uint32_t create(counter_file& file);
    // After this process changed stored objects: value + 1 written back. A
    // value other than the one held means another process changed the token
    // since this one last looked; that is remembered, so the next changed()
    // reports it (the other's change is never swallowed). A missing file is
    // created. `at_least`: the value to write when it is above value + 1 (a
    // data-object file named after the counter keeps the counter past its
    // name, see data_object_pick_name). The write's result.
    uint32_t bump(counter_file& file, uint32_t at_least = 0);
    // Before a search: true when another process changed the token (a value
    // other than the one held, or a change noted by bump); the value read is
    // then held. A failed read: false, unless a change was noted.
    bool changed(counter_file& file);
    // Reads the value into the counter; a missing file is created.
    uint32_t reload(counter_file& file);
    // Forgets the value (another card, or the application was closed).
    void forget() {
        counter_.reset();
        stale_ = false;
    }

  private:
    std::optional<uint32_t> counter_;
    bool stale_ = false;
};

// ---- containers on the card ----

struct pkcs11_container {
    explicit pkcs11_container(std::string_view text);
    virtual ~pkcs11_container() = default; // does not close the handle
    std::string_view text() const { return {name, name_length > 0 ? name_length - 1 : 0}; }

    char name[container_name_capacity] = {};
    uint32_t name_length = 0; // with the terminating NUL, at most 256
    HCONTAINER handle = 0;
};

class pkcs11_container_list {
  public:
    pkcs11_container_list() = default;
    virtual ~pkcs11_container_list() { clear(); }
    pkcs11_container_list(const pkcs11_container_list&) = delete;
    pkcs11_container_list& operator=(const pkcs11_container_list&) = delete;

    pkcs11_container& add(std::string_view name);
    // 0 removed, 1 not found.
    int remove(std::string_view name);
    // Closes every open handle, then drops the containers.
    void clear();
    pkcs11_container* find(std::string_view name) const;
    const std::vector<std::unique_ptr<pkcs11_container>>& items() const { return items_; }
    bool empty() const { return items_.empty(); }

  private:
    std::vector<std::unique_ptr<pkcs11_container>> items_;
};

// The card file of a token's change counter.
class card_counter_file : public counter_file {
  public:
    explicit card_counter_file(HAPPLICATION application) : application_(application) {}
    uint32_t read(uint32_t& value) override;
    uint32_t write(uint32_t value) override;
    uint32_t create() override;

  private:
    HAPPLICATION application_;
};

// One per token: the containers of its application and the objects built
// from them. Results are CK_RV values or device-API codes passed through.
class pkcs11_container_manager {
  public:
    explicit pkcs11_container_manager(pkcs11_token& token) : token_(token) {}
    virtual ~pkcs11_container_manager() { list_.clear(); }
    pkcs11_container_manager(const pkcs11_container_manager&) = delete;
    pkcs11_container_manager& operator=(const pkcs11_container_manager&) = delete;

    pkcs11_container_list& list() { return list_; }
    // The application whose containers are listed; 0 when none are.
    HAPPLICATION application() const { return application_; }
    // Drops the list without talking to the card (its handles died with the
    // application they belonged to).
    void forget();

    CK_RV container_manager_load(uint32_t* count = nullptr);
    CK_RV container_create(std::string_view name);
    CK_RV container_delete(std::string_view name);
    CK_RV container_enum(char* buffer, uint32_t* length);
    CK_RV container_info(std::string_view name, uint8_t* type, uint32_t* sign_bits,
                         uint32_t* exch_bits, uint8_t* sign_cert, uint8_t* exch_cert);
    CK_RV container_build_objects(pkcs11_container& container);
    void container_close_all();
    CK_RV container_delete_if_empty(const pkcs11_object& object);

    CK_RV container_load_rsa_public(pkcs11_object& object);
    CK_RV container_load_sm2_public(pkcs11_object& object);
    CK_RV container_load_certificate(pkcs11_object& object);
    CK_RV container_store_certificate(pkcs11_object& object);
    CK_RV container_import_private_key(pkcs11_object& object);
    CK_RV container_delete_certificate(const pkcs11_object& object);
    CK_RV container_delete_key_pair(const pkcs11_object& object);
    CK_RV secret_key_release_handle(pkcs11_object& object);

    // Writes `id` (at most 128 bytes) as the container's identifier file at
    // its exact length; a file of another length is replaced. For key
    // generation and import.
    CK_RV container_write_key_id(std::string_view name, std::span<const uint8_t> id);
    // The identifier file's bytes; nullopt when it cannot be read.
    std::optional<std::vector<uint8_t>> read_key_id_file(std::string_view name);
    // Whether the listed container holds a key pair of that spec.
    bool container_has_key(std::string_view name, uint32_t key_spec);
    // The one naming rule for the container of a new key pair or
    // certificate: `wanted` (the object's label; empty for none) when it can
    // name a container, it is not the class's default label `default_label`
    // (every unlabelled object would share that container), and it names no
    // listed container or, with container_reuse::without_key_of_spec, one
    // that holds no key pair of `key_spec` yet; otherwise a new "cont_" name
    // that no listed container has. A new key never overwrites an existing
    // one. The list is read as it stands (loading it is the caller's choice).
    std::string container_name_for_new_key(std::string_view wanted, std::string_view default_label,
                                           container_reuse reuse, uint32_t key_spec);

    // The change counter of the token.
    cache_counter& counter() { return counter_; }
    uint32_t cache_counter_create();
    uint32_t cache_counter_bump(uint32_t at_least = 0);
    bool cache_counter_changed();
    uint32_t cache_counter_reload();

  private:
    CK_RV application_handle(HAPPLICATION& app);
    pkcs11_container* container_find(const pkcs11_object& object);
    CK_RV container_open(pkcs11_container& container);
    CK_RV container_open_for_object(const pkcs11_object& object, pkcs11_container*& out);
    // `created`: the container was made for this object (so a failed store takes it away again).
    CK_RV container_for_object(const pkcs11_object& object, pkcs11_container*& out,
                               bool* created = nullptr);
    // One step on the change counter through the card's counter file of the
    // application; no application: the failure code.
    uint32_t on_counter_file(const std::function<uint32_t(counter_file&)>& step);
    // Deletes what `remove` (the device API's certificate or key-pair
    // deletion) takes from the object's container, for the object's key spec.
    CK_RV container_remove(const pkcs11_object& object, uint32_t (*remove)(HCONTAINER, uint32_t));
    // Deletes a container made for a store that then failed.
    void discard_new_container(pkcs11_container* container, bool created);
    CK_RV build_key_pair(pkcs11_container& container, bool sm2, uint32_t key_spec, uint32_t bits);
    // container_load_sm2_public with the pair's identifier when it is known
    // (read with the pair), else read from the identifier file.
    CK_RV load_sm2_public(pkcs11_object& object, const std::vector<uint8_t>* known_id);
    CK_RV build_certificate(pkcs11_container& container, uint32_t key_spec);
    // The partner of a container key: same container, same key spec, the other class.
    pkcs11_object* find_partner(const pkcs11_object& object, uint32_t partner_class);
    void update_map();

    pkcs11_token& token_;
    pkcs11_container_list list_;
    HAPPLICATION application_ = 0;
    cache_counter counter_;
};
