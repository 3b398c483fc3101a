// Template verifiers per class: creation and generation checks (missing and
// extra attributes), modifiable attributes (read-only cases) and the one-way
// rules, each as a table of cases over objects built with the class defaults.
#include <gtest/gtest.h>

#include <functional>

#include "pkcs11_object.h"
#include "test_templates.h"

namespace {

std::shared_ptr<pkcs11_object> make(uint32_t cls, inner_builder& b) {
    CK_RV rv = CKR_OK;
    auto o = pkcs11_object::create(0, cls, b.data(), b.size(), &rv);
    EXPECT_EQ(rv, CKR_OK);
    return o;
}

struct check_case {
    const char* name;
    uint32_t cls;
    std::function<void(inner_builder&)> fill;
    CK_RV create;
    CK_RV generate;
};

TEST(Verifier, CreateAndGenerateChecksPerClass) {
    const std::vector<uint8_t> n(128, 0xC1);
    const check_case cases[] = {
        {"data", CKO_DATA, [](inner_builder&) {}, CKR_OK, CKR_OK},
        {"cert without value", CKO_CERTIFICATE, [](inner_builder&) {}, CKR_TEMPLATE_INCOMPLETE,
         CKR_OK},
        {"cert with value", CKO_CERTIFICATE, [](inner_builder& b) { b.raw(CKA_VALUE, {0x30}); },
         CKR_OK, CKR_OK},
        {"RSA public without exponent", CKO_PUBLIC_KEY,
         [&](inner_builder& b) { b.raw(CKA_MODULUS, n); }, CKR_TEMPLATE_INCOMPLETE,
         CKR_TEMPLATE_INCOMPLETE},
        {"RSA public complete", CKO_PUBLIC_KEY,
         [&](inner_builder& b) {
             b.raw(CKA_MODULUS, n).raw(CKA_PUBLIC_EXPONENT, {1, 0, 1});
         },
         CKR_OK, CKR_TEMPLATE_INCOMPLETE},
        {"RSA public for generation", CKO_PUBLIC_KEY,
         [](inner_builder& b) { b.u32(CKA_MODULUS_BITS, 1024); }, CKR_TEMPLATE_INCOMPLETE, CKR_OK},
        {"SM2 public, no components", CKO_PUBLIC_KEY,
         [](inner_builder& b) { b.u32(CKA_KEY_TYPE, ZELT_CKK_SM2); }, CKR_OK, CKR_OK},
        {"RSA private modulus only", CKO_PRIVATE_KEY,
         [&](inner_builder& b) { b.raw(CKA_MODULUS, n); }, CKR_TEMPLATE_INCOMPLETE,
         CKR_TEMPLATE_INCONSISTENT},
        {"RSA private complete", CKO_PRIVATE_KEY,
         [&](inner_builder& b) { b.raw(CKA_MODULUS, n).raw(CKA_PRIVATE_EXPONENT, n); }, CKR_OK,
         CKR_TEMPLATE_INCONSISTENT},
        {"RSA private with a prime", CKO_PRIVATE_KEY,
         [](inner_builder& b) { b.raw(CKA_PRIME_1, {7}); }, CKR_TEMPLATE_INCOMPLETE,
         CKR_TEMPLATE_INCONSISTENT},
        {"RSA private for generation", CKO_PRIVATE_KEY, [](inner_builder&) {},
         CKR_TEMPLATE_INCOMPLETE, CKR_OK},
        {"SM2 private, no components", CKO_PRIVATE_KEY,
         [](inner_builder& b) { b.u32(CKA_KEY_TYPE, ZELT_CKK_SM2); }, CKR_OK, CKR_OK},
        {"secret with value", CKO_SECRET_KEY,
         [](inner_builder& b) { b.raw(CKA_VALUE, std::vector<uint8_t>(16, 1)); }, CKR_OK,
         CKR_TEMPLATE_INCONSISTENT},
        {"secret with value and length", CKO_SECRET_KEY,
         [](inner_builder& b) {
             b.raw(CKA_VALUE, std::vector<uint8_t>(16, 1)).u32(CKA_VALUE_LEN, 16);
         },
         CKR_TEMPLATE_INCONSISTENT, CKR_TEMPLATE_INCONSISTENT},
        {"secret with CKA_LOCAL", CKO_SECRET_KEY,
         [](inner_builder& b) { b.raw(CKA_VALUE, {1}).flag(CKA_LOCAL, true); },
         CKR_TEMPLATE_INCONSISTENT, CKR_TEMPLATE_INCONSISTENT},
        {"secret without value", CKO_SECRET_KEY, [](inner_builder& b) { b.u32(CKA_VALUE_LEN, 16); },
         CKR_TEMPLATE_INCOMPLETE, CKR_OK},
    };
    for (const auto& c : cases) {
        inner_builder b;
        c.fill(b);
        auto o = make(c.cls, b);
        ASSERT_NE(o, nullptr) << c.name;
        ASSERT_NE(o->verifier(), nullptr) << c.name;
        EXPECT_EQ(o->verifier()->check_create(), c.create) << c.name;
        EXPECT_EQ(o->verifier()->check_generate(), c.generate) << c.name;
    }
}

TEST(Verifier, ModifiableAttributesPerClass) {
    struct modify_case {
        uint32_t cls;
        uint32_t type;
        bool modifiable;
    } const cases[] = {
        {CKO_DATA, CKA_VALUE, true},           {CKO_DATA, CKA_LABEL, true},
        {CKO_DATA, CKA_APPLICATION, false},    {CKO_DATA, CKA_TOKEN, false},
        {CKO_CERTIFICATE, CKA_VALUE, false},   {CKO_CERTIFICATE, CKA_ID, true},
        {CKO_CERTIFICATE, CKA_SUBJECT, false}, {CKO_PUBLIC_KEY, CKA_MODULUS, false},
        {CKO_PUBLIC_KEY, CKA_VERIFY, true},    {CKO_PUBLIC_KEY, CKA_SIGN, false},
        {CKO_PRIVATE_KEY, CKA_SIGN, true},     {CKO_PRIVATE_KEY, CKA_PRIVATE_EXPONENT, false},
        {CKO_PRIVATE_KEY, CKA_CLASS, false},   {CKO_SECRET_KEY, CKA_TRUSTED, true},
        {CKO_SECRET_KEY, CKA_VALUE, false},    {CKO_SECRET_KEY, CKA_KEY_TYPE, false},
    };
    for (const auto& c : cases) {
        inner_builder b;
        auto o = make(c.cls, b);
        ASSERT_NE(o, nullptr);
        EXPECT_EQ(o->verifier()->is_modifiable(c.type), c.modifiable)
            << c.cls << "/" << std::hex << c.type;
    }
}

TEST(Verifier, OneWayRules) {
    struct one_way_case {
        const char* name;
        uint32_t cls;
        std::function<void(inner_builder&)> current; // the object's values
        uint32_t level;
        uint32_t type;
        bool new_value;
        bool allowed;
    } const cases[] = {
        {"sensitive true to true", CKO_SECRET_KEY,
         [](inner_builder& b) { b.flag(CKA_SENSITIVE, true); }, 3, CKA_SENSITIVE, true, false},
        {"sensitive true to false", CKO_SECRET_KEY,
         [](inner_builder& b) { b.flag(CKA_SENSITIVE, true); }, 3, CKA_SENSITIVE, false, false},
        {"sensitive false to true", CKO_SECRET_KEY, [](inner_builder&) {}, 3, CKA_SENSITIVE, true,
         true},
        {"extractable false to true", CKO_SECRET_KEY, [](inner_builder&) {}, 3, CKA_EXTRACTABLE,
         true, false},
        {"extractable true to false", CKO_SECRET_KEY,
         [](inner_builder& b) { b.flag(CKA_EXTRACTABLE, true); }, 3, CKA_EXTRACTABLE, false, true},
        {"wrap with trusted once true", CKO_PRIVATE_KEY,
         [](inner_builder& b) { b.flag(CKA_WRAP_WITH_TRUSTED, true); }, 4, CKA_WRAP_WITH_TRUSTED,
         false, false},
        {"user sets trusted", CKO_SECRET_KEY, [](inner_builder&) {}, 3, CKA_TRUSTED, true, false},
        {"user clears trusted", CKO_SECRET_KEY, [](inner_builder&) {}, 3, CKA_TRUSTED, false, true},
        {"SO sets trusted", CKO_SECRET_KEY, [](inner_builder&) {}, 4, CKA_TRUSTED, true, true},
        {"user sets modifiable", CKO_DATA, [](inner_builder&) {}, 3, CKA_MODIFIABLE, true, false},
        {"user clears modifiable", CKO_DATA, [](inner_builder&) {}, 3, CKA_MODIFIABLE, false, true},
    };
    for (const auto& c : cases) {
        inner_builder b;
        c.current(b);
        auto o = make(c.cls, b);
        ASSERT_NE(o, nullptr) << c.name;
        inner_builder change;
        change.flag(c.type, c.new_value);
        EXPECT_EQ(o->verifier()->verifier_template_modifiable(c.level, change.data(), 1), c.allowed)
            << c.name;
    }
    // A "true" other than 1 is still true.
    inner_builder b;
    auto o = make(CKO_SECRET_KEY, b);
    inner_builder two;
    two.raw(CKA_TRUSTED, {2});
    EXPECT_FALSE(o->verifier()->verifier_template_modifiable(3, two.data(), 1));
}

} // namespace
