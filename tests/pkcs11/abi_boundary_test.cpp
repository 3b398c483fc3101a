// The host-ABI boundary: full-width outputs, 4-byte inner integer attributes,
// unavailable lengths and blank-padded texts.
#include <gtest/gtest.h>

#include <cstring>

#include "abi_boundary.h"

namespace {

using p11abi::inner_template;

TEST(AbiBoundary, IntegerAttributesAreNarrowedByValue) {
    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_ULONG bits = 2048;
    CK_BYTE label[] = {'a', 'b', 'c'};
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_MODULUS_BITS, &bits, sizeof bits},
                        {CKA_LABEL, label, sizeof label}};
    inner_template in;
    ASSERT_EQ(inner_template::from_input(t, 3, in), CKR_OK);
    ASSERT_EQ(in.size(), 3u);
    EXPECT_EQ(in[0].type, CKA_CLASS);
    EXPECT_EQ(in[0].length, 4u);
    uint32_t v;
    std::memcpy(&v, in[1].value, 4);
    EXPECT_EQ(v, 2048u);
    EXPECT_EQ(in[2].length, 3u);
    EXPECT_EQ(in[2].value, label); // other values are not copied
}

TEST(AbiBoundary, SearchTemplatesThatCannotMatchAreNoError) {
    CK_ULONG wide_class = 0x100000001UL;
    CK_BYTE one = 1;
    CK_ATTRIBUTE wide_value = {CKA_CLASS, &wide_class, sizeof wide_class};
    CK_ATTRIBUTE wide_type = {0x1000000003UL, &one, 1};
    for (CK_ATTRIBUTE* t : {&wide_value, &wide_type}) {
        inner_template search;
        ASSERT_EQ(inner_template::for_search(t, 1, search), CKR_OK);
        EXPECT_TRUE(search.matches_nothing());
        inner_template input;
        EXPECT_NE(inner_template::from_input(t, 1, input),
                  CKR_OK); // refused where it would be stored
    }
    inner_template input;
    EXPECT_EQ(inner_template::from_input(&wide_type, 1, input), CKR_ATTRIBUTE_TYPE_INVALID);
    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_ATTRIBUTE fits = {CKA_CLASS, &cls, sizeof cls};
    inner_template search;
    ASSERT_EQ(inner_template::for_search(&fits, 1, search), CKR_OK);
    EXPECT_FALSE(search.matches_nothing());
    EXPECT_EQ(search[0].length, 4u);
    CK_ATTRIBUTE no_value = {CKA_LABEL, nullptr, 5};
    EXPECT_EQ(inner_template::for_search(&no_value, 1, search), CKR_ATTRIBUTE_VALUE_INVALID);
}

TEST(AbiBoundary, InputValuesAndTemplatesThatCannotCrossAreRefused) {
    struct input_case {
        const char* name;
        CK_ATTRIBUTE_TYPE type;
        CK_ULONG value;
        CK_RV expected;
        uint32_t inner;
    } const cases[] = {
        {"fits", CKA_KEY_TYPE, 0x84000020UL, CKR_OK, 0x84000020u},
        {"high bits", CKA_KEY_TYPE, 0x100000000UL, CKR_ATTRIBUTE_VALUE_INVALID, 0},
        {"unavailable", CKA_KEY_TYPE, CK_UNAVAILABLE_INFORMATION, CKR_OK, 0xFFFFFFFFu},
        {"vendor integer", ZELT_CKA_KEY_SPEC, 2, CKR_OK, 2},
    };
    for (const auto& c : cases) {
        CK_ULONG value = c.value;
        CK_ATTRIBUTE t = {c.type, &value, sizeof value};
        inner_template in;
        ASSERT_EQ(inner_template::from_input(&t, 1, in), c.expected) << c.name;
        if (c.expected != CKR_OK) continue;
        uint32_t v;
        std::memcpy(&v, in[0].value, 4);
        EXPECT_EQ(v, c.inner) << c.name;
    }
    inner_template in;
    EXPECT_EQ(inner_template::from_input(nullptr, 1, in), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(inner_template::from_input(nullptr, 0, in), CKR_OK);
    CK_ATTRIBUTE no_value = {CKA_LABEL, nullptr, 5};
    EXPECT_EQ(inner_template::from_input(&no_value, 1, in), CKR_ATTRIBUTE_VALUE_INVALID);
}

// The inner code answers with 4-byte integers; the caller sees them at full
// width, a size query reports 8, and "unavailable" is all ones.
TEST(AbiBoundary, OutputIsWidenedToTheHostWidth) {
    CK_ULONG cls = ~0UL; // clients preset CK_UNAVAILABLE_INFORMATION before reading
    CK_BYTE label[8];
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_KEY_TYPE, nullptr, 0},
                        {CKA_LABEL, label, sizeof label},
                        {CKA_VALUE, label, sizeof label},
                        {CKA_MODULUS_BITS, &cls, 4}};
    inner_template out;
    ASSERT_EQ(inner_template::for_output(t, 5, out), CKR_OK);
    {
        auto* e = const_cast<p11abi::inner_attribute*>(out.data());
        // What an object would do: class CKO_CERTIFICATE, key type length 4,
        // label of 3 bytes, value unavailable, and "too small" for the short buffer.
        EXPECT_EQ(e[0].length, 4u);
        const uint32_t cert = CKO_CERTIFICATE;
        std::memcpy(e[0].value, &cert, 4);
        EXPECT_EQ(e[1].value, nullptr);
        e[1].length = 4;
        std::memcpy(e[2].value, "xyz", 3);
        e[2].length = 3;
        e[3].length = p11abi::inner_unavailable;
        EXPECT_EQ(e[4].length, 0u); // a 4-byte buffer is too small for a host CK_ULONG
        e[4].length = p11abi::inner_unavailable;
    }
    out.finish_output();
    EXPECT_EQ(t[0].ulValueLen, sizeof(CK_ULONG));
    CK_ULONG got;
    std::memcpy(&got, t[0].pValue, sizeof got);
    EXPECT_EQ(got, CKO_CERTIFICATE); // no stale high half
    EXPECT_EQ(t[1].ulValueLen, sizeof(CK_ULONG));
    EXPECT_EQ(t[2].ulValueLen, 3u);
    EXPECT_EQ(t[3].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(t[4].ulValueLen, CK_UNAVAILABLE_INFORMATION);
}

TEST(AbiBoundary, LengthsAreWrittenBackAtFullWidth) {
    CK_ULONG caller = ~0UL;
    {
        p11abi::ulong_inout length(&caller);
        EXPECT_EQ(length.value(), 0xFFFFFFFFu); // saturated, not truncated
        *length.get() = 20;
    }
    EXPECT_EQ(caller, 20u);
    {
        p11abi::ulong_inout length(&caller);
        *length.get() = p11abi::inner_unavailable;
    }
    EXPECT_EQ(caller, CK_UNAVAILABLE_INFORMATION);
    p11abi::ulong_inout none(nullptr);
    EXPECT_EQ(none.get(), nullptr);
    EXPECT_FALSE(p11abi::narrow_id(1UL << 32).has_value());
    EXPECT_EQ(p11abi::narrow_id(0xFFFFFFFFUL).value(), 0xFFFFFFFFu);
}

TEST(AbiBoundary, TextFieldsAreBlankPadded) {
    CK_UTF8CHAR field[8];
    p11abi::put_text(field, sizeof field, "abc");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 8), "abc     ");
    p11abi::put_text(field, sizeof field, "0123456789");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 8), "01234567");

    CK_TOKEN_INFO info{};
    std::memcpy(info.label, "Oskarvel", 8);
    std::memcpy(info.model, "OskarvelA", 9);
    p11abi::blank_pad_texts(info);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.label), 32),
              "Oskarvel" + std::string(24, ' '));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.model), 16),
              "OskarvelA" + std::string(7, ' '));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.serialNumber), 16), std::string(16, ' '));
}

} // namespace
