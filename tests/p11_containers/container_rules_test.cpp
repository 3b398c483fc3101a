// Container rules that need no card: reserved names, generated names, the
// identifier of a container's keys, the change counter against a stand-in
// file, and the RSA private-key record built from an object.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "param_name.h"
#include "pkcs11_container_mgr.h"
#include "test_templates.h"

namespace {

// ---- names ----

struct name_case {
    const char* name;
    bool reserved;
    bool acceptable;
};

class ContainerName : public ::testing::TestWithParam<name_case> {};

TEST_P(ContainerName, system_file_names_are_never_container_names) {
    const name_case c = GetParam();
    EXPECT_EQ(container_name_reserved(c.name), c.reserved) << c.name;
    EXPECT_EQ(container_name_acceptable(c.name), c.acceptable) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ContainerName,
    ::testing::Values(name_case{"CacheFile", true, false}, name_case{"cmapfile", true, false},
                      name_case{"cardcf", true, false}, name_case{"PUBOBJ", true, false},
                      name_case{"PRIOBJ", true, false}, name_case{"PUBOBJ3_mydata", true, false},
                      name_case{"PRIOBJ12", true, false}, name_case{"cachefile", false, true},
                      name_case{"myPUBOBJkeys", false, true}, name_case{"c1", false, true},
                      name_case{"", false, false},
                      // the card refuses names of 40 characters or more
                      name_case{"123456789012345678901234567890123456789", false, true},
                      name_case{"1234567890123456789012345678901234567890", false, false}),
    [](const ::testing::TestParamInfo<name_case>& info) {
        return test_support::param_name(info.param.name);
    });

TEST(GeneratedContainerName,
     is_cont_and_20_lower_case_hex_digits_and_never_repeats_within_a_second) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string n = generate_container_name();
        ASSERT_EQ(n.size(), generated_container_name_length);
        ASSERT_EQ(n.substr(0, 5), "cont_");
        for (char ch : n.substr(5))
            ASSERT_TRUE((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f')) << n;
        ASSERT_TRUE(seen.insert(n).second) << "repeated " << n;
    }
}

// ---- key identifiers ----

TEST(ContainerKeyId, without_identifier_file_the_name_stands_in_and_the_signature_pair_gets_an_S) {
    EXPECT_EQ(container_key_id("c1", key_spec_exchange, std::nullopt),
              (std::vector<uint8_t>{'c', '1', 0}));
    EXPECT_EQ(container_key_id("c1", key_spec_signature, std::nullopt),
              (std::vector<uint8_t>{'c', '1', 0, 'S'}));
}

TEST(ContainerKeyId, the_identifier_file_is_taken_whole_and_binary_for_both_pairs) {
    // A binary identifier with NULs inside, longer than 32 bytes.
    std::vector<uint8_t> id(40);
    for (size_t i = 0; i < id.size(); ++i)
        id[i] = static_cast<uint8_t>(i % 3 == 0 ? 0 : i);
    EXPECT_EQ(container_key_id("c1", key_spec_exchange, id), id);
    EXPECT_EQ(container_key_id("c1", key_spec_signature, id), id);
    const std::vector<uint8_t> key01{'k', 'e', 'y', '0', '1'};
    EXPECT_EQ(container_key_id("c1", key_spec_signature, key01), key01);
}

// ---- change counter ----

// "CacheFile" of a token shared by several processes.
struct shared_file {
    bool exists = true;
    uint32_t value = 0;
    int writes = 0;
};

class fake_file : public counter_file {
  public:
    explicit fake_file(shared_file& f) : f_(f) {}
    uint32_t read(uint32_t& v) override {
        if (!f_.exists) return SAR_FILE_NOT_EXIST;
        v = f_.value;
        return SAR_OK;
    }
    uint32_t write(uint32_t v) override {
        if (!f_.exists) return SAR_FILE_NOT_EXIST;
        f_.value = v;
        ++f_.writes;
        return SAR_OK;
    }
    uint32_t create() override {
        if (f_.exists) return SAR_FILE_ALREADY_EXIST;
        f_.exists = true;
        f_.value = 0;
        return SAR_OK;
    }

  private:
    shared_file& f_;
};

TEST(CacheCounter, a_token_without_the_file_gets_one_holding_1) {
    shared_file card{false, 0};
    fake_file file(card);
    cache_counter a;
    EXPECT_EQ(a.reload(file), SAR_OK);
    EXPECT_TRUE(card.exists);
    EXPECT_EQ(card.value, 1u);
    EXPECT_EQ(a.value(), 1u);
}

TEST(CacheCounter, a_bump_never_swallows_the_change_of_another_process) {
    shared_file card{true, 7};
    fake_file file(card);
    cache_counter a, b;
    a.reload(file);
    b.reload(file);
    EXPECT_FALSE(a.changed(file));

    // B stores something, then A stores something before its next search.
    EXPECT_EQ(b.bump(file), SAR_OK);
    EXPECT_EQ(a.bump(file), SAR_OK);
    EXPECT_EQ(card.value, 9u);
    // A must still reload to see B's object; B must reload to see A's.
    EXPECT_TRUE(a.changed(file));
    EXPECT_FALSE(a.changed(file));
    EXPECT_TRUE(b.changed(file));
    EXPECT_FALSE(b.changed(file));
}

TEST(CacheCounter, own_bumps_alone_are_no_change) {
    shared_file card{true, 0};
    fake_file file(card);
    cache_counter a;
    a.reload(file);
    a.bump(file);
    a.bump(file);
    EXPECT_EQ(card.value, 2u);
    EXPECT_FALSE(a.changed(file));
}

// A data-object file named after the counter (57) takes the counter past the
// name: a file created later, by any process of the module, gets another name.
TEST(CacheCounter, a_bump_goes_past_the_counter_a_new_file_name_carries) {
    shared_file card{true, 57};
    fake_file file(card);
    cache_counter a, b;
    a.reload(file);
    b.reload(file);
    EXPECT_EQ(a.bump(file, 61), SAR_OK);
    EXPECT_EQ(card.value, 61u);
    EXPECT_FALSE(a.changed(file));
    EXPECT_TRUE(b.changed(file));
    // A name below the counter leaves the plain step of one.
    EXPECT_EQ(b.bump(file, 3), SAR_OK);
    EXPECT_EQ(card.value, 62u);
}

TEST(CacheCounter, a_bump_recreates_a_deleted_file_and_the_next_search_reloads) {
    shared_file card{true, 5};
    fake_file file(card);
    cache_counter a;
    a.reload(file);
    card.exists = false; // someone formatted the application or deleted the file
    EXPECT_EQ(a.bump(file), SAR_OK);
    EXPECT_TRUE(card.exists);
    EXPECT_EQ(card.value, 1u);
    EXPECT_TRUE(a.changed(file));
}

TEST(CacheCounter, an_unreadable_file_reports_no_change) {
    shared_file card{false, 0};
    fake_file file(card);
    cache_counter a;
    EXPECT_FALSE(a.changed(file));
}

TEST(CacheCounter, on_a_token_without_the_file_only_another_process_s_first_change_counts) {
    shared_file card{false, 0};
    fake_file file(card);
    cache_counter a, b;
    EXPECT_FALSE(a.changed(file)); // A searches a fresh token
    EXPECT_FALSE(b.changed(file));
    // A stores the first object: the file appears holding 1, which is A's own change.
    EXPECT_EQ(a.bump(file), SAR_OK);
    EXPECT_EQ(card.value, 1u);
    EXPECT_FALSE(a.changed(file));
    // B saw the token without the file: A's change is news to B.
    EXPECT_TRUE(b.changed(file));
}

// ---- RSA private-key record ----

struct rsa_parts {
    std::vector<uint8_t> n, e, d, p, q, dp, dq, qi;
};

std::vector<uint8_t> bn_bytes(const EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &bn), 1);
    std::vector<uint8_t> out(BN_num_bytes(bn));
    BN_bn2bin(bn, out.data());
    BN_free(bn);
    return out;
}

const rsa_parts& test_key(int bits) {
    static std::map<int, rsa_parts> keys;
    auto it = keys.find(bits);
    if (it != keys.end()) return it->second;
    EVP_PKEY* key = EVP_RSA_gen(static_cast<unsigned>(bits));
    rsa_parts r{bn_bytes(key, OSSL_PKEY_PARAM_RSA_N),
                bn_bytes(key, OSSL_PKEY_PARAM_RSA_E),
                bn_bytes(key, OSSL_PKEY_PARAM_RSA_D),
                bn_bytes(key, OSSL_PKEY_PARAM_RSA_FACTOR1),
                bn_bytes(key, OSSL_PKEY_PARAM_RSA_FACTOR2),
                bn_bytes(key, OSSL_PKEY_PARAM_RSA_EXPONENT1),
                bn_bytes(key, OSSL_PKEY_PARAM_RSA_EXPONENT2),
                bn_bytes(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1)};
    EVP_PKEY_free(key);
    return keys.emplace(bits, r).first->second;
}

std::shared_ptr<pkcs11_object> private_key(inner_builder& b) {
    CK_RV rv = CKR_OK;
    auto o = pkcs11_object::create(0, CKO_PRIVATE_KEY, b.data(), b.size(), &rv);
    EXPECT_NE(o, nullptr) << rv;
    return o;
}

bool right_aligned(const uint8_t* field, size_t size, const std::vector<uint8_t>& value) {
    if (value.size() > size) return false;
    for (size_t i = 0; i < size - value.size(); ++i)
        if (field[i] != 0) return false;
    return std::memcmp(field + size - value.size(), value.data(), value.size()) == 0;
}

class RsaBlob : public ::testing::TestWithParam<int> {};

TEST_P(RsaBlob, full_and_three_component_keys_give_the_same_complete_record) {
    const rsa_parts& k = test_key(GetParam());
    inner_builder full, three;
    full.raw(CKA_MODULUS, k.n)
        .raw(CKA_PUBLIC_EXPONENT, k.e)
        .raw(CKA_PRIVATE_EXPONENT, k.d)
        .raw(CKA_PRIME_1, k.p)
        .raw(CKA_PRIME_2, k.q)
        .raw(CKA_EXPONENT_1, k.dp)
        .raw(CKA_EXPONENT_2, k.dq)
        .raw(CKA_COEFFICIENT, k.qi);
    // A leading zero byte, as DER integers carry, is not part of the number.
    std::vector<uint8_t> n0 = k.n;
    n0.insert(n0.begin(), 0);
    three.raw(CKA_MODULUS, n0).raw(CKA_PUBLIC_EXPONENT, k.e).raw(CKA_PRIVATE_EXPONENT, k.d);

    RSAPRIVATEKEYBLOB a{}, b{};
    ASSERT_EQ(rsa_private_blob_from_object(*private_key(full), a), CKR_OK);
    ASSERT_EQ(rsa_private_blob_from_object(*private_key(three), b), CKR_OK);
    for (const RSAPRIVATEKEYBLOB* blob : {&a, &b}) {
        EXPECT_EQ(blob->AlgID, 0x00010000u);
        EXPECT_EQ(blob->BitLen, static_cast<uint32_t>(GetParam()));
        EXPECT_TRUE(right_aligned(blob->Modulus, sizeof blob->Modulus, k.n));
        EXPECT_TRUE(right_aligned(blob->PublicExponent, sizeof blob->PublicExponent, k.e));
        EXPECT_TRUE(right_aligned(blob->PrivateExponent, sizeof blob->PrivateExponent, k.d));
        // Derived primes may come in the other order, with their CRT exponents.
        const bool pq = right_aligned(blob->Prime1, sizeof blob->Prime1, k.p) &&
                        right_aligned(blob->Prime2, sizeof blob->Prime2, k.q) &&
                        right_aligned(blob->Prime1Exponent, sizeof blob->Prime1Exponent, k.dp) &&
                        right_aligned(blob->Prime2Exponent, sizeof blob->Prime2Exponent, k.dq);
        const bool qp = right_aligned(blob->Prime1, sizeof blob->Prime1, k.q) &&
                        right_aligned(blob->Prime2, sizeof blob->Prime2, k.p) &&
                        right_aligned(blob->Prime1Exponent, sizeof blob->Prime1Exponent, k.dq) &&
                        right_aligned(blob->Prime2Exponent, sizeof blob->Prime2Exponent, k.dp);
        EXPECT_TRUE(pq || qp);
    }
    // The given CRT form is taken as it is.
    EXPECT_TRUE(right_aligned(a.Coefficient, sizeof a.Coefficient, k.qi));
}

INSTANTIATE_TEST_SUITE_P(Bits, RsaBlob, ::testing::Values(1024, 2048),
                         ::testing::PrintToStringParamName());

TEST(RsaBlobRefusals, a_missing_component_or_a_number_that_does_not_fit_is_refused) {
    const rsa_parts& k = test_key(1024);
    const rsa_parts& big = test_key(2048);
    struct refusal {
        const char* what;
        std::vector<std::pair<uint32_t, std::vector<uint8_t>>> attrs;
        CK_RV rv;
    };
    std::vector<uint8_t> long_e(5, 0x01);
    std::vector<uint8_t> odd_n(k.n.begin() + 1, k.n.end()); // 1016 bits
    std::vector<uint8_t> wrong_d = k.d;
    wrong_d.back() ^= 1;
    const refusal cases[] = {
        {"no public exponent",
         {{CKA_MODULUS, k.n}, {CKA_PRIVATE_EXPONENT, k.d}},
         CKR_TEMPLATE_INCOMPLETE},
        {"no private exponent",
         {{CKA_MODULUS, k.n}, {CKA_PUBLIC_EXPONENT, k.e}},
         CKR_TEMPLATE_INCOMPLETE},
        {"no modulus",
         {{CKA_PUBLIC_EXPONENT, k.e}, {CKA_PRIVATE_EXPONENT, k.d}},
         CKR_TEMPLATE_INCOMPLETE},
        {"nothing", {}, CKR_TEMPLATE_INCOMPLETE},
        {"1016-bit modulus",
         {{CKA_MODULUS, odd_n}, {CKA_PUBLIC_EXPONENT, k.e}, {CKA_PRIVATE_EXPONENT, k.d}},
         CKR_KEY_SIZE_RANGE},
        {"5-byte exponent",
         {{CKA_MODULUS, k.n}, {CKA_PUBLIC_EXPONENT, long_e}, {CKA_PRIVATE_EXPONENT, k.d}},
         CKR_ATTRIBUTE_VALUE_INVALID},
        {"inconsistent key",
         {{CKA_MODULUS, k.n}, {CKA_PUBLIC_EXPONENT, k.e}, {CKA_PRIVATE_EXPONENT, wrong_d}},
         CKR_ATTRIBUTE_VALUE_INVALID},
        {"primes of another key",
         {{CKA_MODULUS, k.n},
          {CKA_PUBLIC_EXPONENT, k.e},
          {CKA_PRIVATE_EXPONENT, k.d},
          {CKA_PRIME_1, big.p},
          {CKA_PRIME_2, big.q},
          {CKA_EXPONENT_1, big.dp},
          {CKA_EXPONENT_2, big.dq},
          {CKA_COEFFICIENT, big.qi}},
         CKR_ATTRIBUTE_VALUE_INVALID},
    };
    for (const refusal& c : cases) {
        inner_builder b;
        for (const auto& [type, value] : c.attrs)
            b.raw(type, value);
        RSAPRIVATEKEYBLOB blob{};
        EXPECT_EQ(rsa_private_blob_from_object(*private_key(b), blob), c.rv) << c.what;
    }
}

} // namespace
