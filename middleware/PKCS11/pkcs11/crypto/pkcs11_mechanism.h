// The mechanisms every token reports through C_GetMechanismList and
// C_GetMechanismInfo: one static table, loaded into each token's mechanism
// manager when the token is built. The table only answers those two queries;
// whether an operation can run with a mechanism is the key-context factory's
// decision (pkcs11_key_ctx.h).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "pkcs11.h"

// One row: type, minimum and maximum key size (reported exactly as stored,
// in the unit PKCS#11 v2.20 gives each mechanism) and the CKF_ flags.
struct mechanism_row {
    uint32_t type;
    uint32_t min_key_size;
    uint32_t max_key_size;
    uint32_t flags;
};

inline constexpr size_t mechanism_count = 47;
extern const std::array<mechanism_row, mechanism_count> mechanism_table;

class pkcs11_mechanism {
  public:
    explicit pkcs11_mechanism(const mechanism_row& row)
        : type_(row.type), min_key_size_(row.min_key_size), max_key_size_(row.max_key_size),
          flags_(row.flags) {}
    virtual ~pkcs11_mechanism() = default;

    uint32_t type() const { return type_; }
    uint32_t min_key_size() const { return min_key_size_; }
    uint32_t max_key_size() const { return max_key_size_; }
    uint32_t flags() const { return flags_; }

  private:
    uint32_t type_;
    uint32_t min_key_size_;
    uint32_t max_key_size_;
    uint32_t flags_;
};

class pkcs11_mechanism_mgr {
  public:
    pkcs11_mechanism_mgr() = default;
    virtual ~pkcs11_mechanism_mgr() = default;
    pkcs11_mechanism_mgr(const pkcs11_mechanism_mgr&) = delete;
    pkcs11_mechanism_mgr& operator=(const pkcs11_mechanism_mgr&) = delete;

    // Appends one entry per table row, in table order.
    void load_mechanisms();

    // C_GetMechanismList with the size-query rule: a null list gets the count;
    // a list shorter than the count gets the count and CKR_BUFFER_TOO_SMALL.
    CK_RV mechanism_list(CK_MECHANISM_TYPE* list, uint32_t* count) const;
    // C_GetMechanismInfo from the first entry of that type; none (also a host
    // value with high bits set): CKR_MECHANISM_INVALID.
    CK_RV mechanism_info(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info) const;
    const pkcs11_mechanism* find(CK_MECHANISM_TYPE type) const;

    size_t size() const { return entries_.size(); }

  private:
    std::vector<std::unique_ptr<pkcs11_mechanism>> entries_;
};
