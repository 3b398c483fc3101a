// Attribute records, the match rules and the attribute stream.
#include <gtest/gtest.h>

#include <cstring>

#include "byte_order.h"
#include "pkcs11_attribute.h"

namespace {

std::vector<uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

TEST(Attribute, IntegerTypesAreStoredAsFourBytes) {
    pkcs11_attribute a;
    const uint8_t two[2] = {0x34, 0x12};
    a.set_value(CKA_KEY_TYPE, two, 2);
    EXPECT_EQ(a.value, (std::vector<uint8_t>{0x34, 0x12, 0, 0})); // zero-extended
    const uint64_t eight = 0x1122334455667788ull;
    a.set_value(ZELT_CKA_KEY_SPEC, &eight, 8);
    EXPECT_EQ(a.length(), 4u);
    EXPECT_EQ(a.as_u32(), 0x55667788u); // the first four bytes (little-endian host)
    a.set_value(CKA_LABEL, "abcdef", 6);
    EXPECT_EQ(a.length(), 6u); // other types keep their length
}

TEST(Attribute, MatchRules) {
    struct match_case {
        const char* name;
        uint32_t stored_type;
        std::vector<uint8_t> stored;
        uint32_t entry_type;
        std::vector<uint8_t> entry;
        bool null_entry;
        bool expected;
    } const cases[] = {
        {"label without NUL vs stored with NUL", CKA_LABEL, bytes(std::string("abc", 4)), CKA_LABEL,
         bytes("abc"), false, true},
        {"label exact", CKA_LABEL, bytes("abc"), CKA_LABEL, bytes("abc"), false, true},
        {"default label by its text", CKA_LABEL, bytes(std::string("A data object", 14)), CKA_LABEL,
         bytes("A data object"), false, true},
        {"label prefix only", CKA_LABEL, bytes(std::string("abcd", 5)), CKA_LABEL, bytes("abc"),
         false, false},
        {"label one byte longer", CKA_LABEL, bytes("key10"), CKA_LABEL, bytes("key1"), false,
         false},
        {"label two NULs longer", CKA_LABEL, bytes(std::string("abc\0\0", 5)), CKA_LABEL,
         bytes("abc"), false, false},
        {"label entry with NUL, stored without", CKA_LABEL, bytes("abc"), CKA_LABEL,
         bytes(std::string("abc", 4)), false, true},
        {"label entry with NUL, stored longer", CKA_LABEL, bytes("key10"), CKA_LABEL,
         bytes(std::string("key1", 5)), false, false},
        {"label entry two NULs longer", CKA_LABEL, bytes("abc"), CKA_LABEL,
         bytes(std::string("abc\0", 5)), false, false},
        {"label entry one byte longer, not a NUL", CKA_LABEL, bytes("abc"), CKA_LABEL,
         bytes("abcd"), false, false},
        {"label empty stored, entry NUL",
         CKA_LABEL,
         {},
         CKA_LABEL,
         bytes(std::string("", 1)),
         false,
         true},
        {"label both with NUL", CKA_LABEL, bytes(std::string("abc", 4)), CKA_LABEL,
         bytes(std::string("abc", 4)), false, true},
        {"label empty entry, stored NUL",
         CKA_LABEL,
         bytes(std::string("", 1)),
         CKA_LABEL,
         {},
         false,
         true},
        {"label differs after an inner NUL", CKA_LABEL, bytes(std::string("ab\0d", 5)), CKA_LABEL,
         bytes(std::string("ab\0c", 4)), false, false},
        {"application with NUL", CKA_APPLICATION, bytes(std::string("app", 4)), CKA_APPLICATION,
         bytes("app"), false, true},
        {"application one byte longer", CKA_APPLICATION, bytes("appx"), CKA_APPLICATION,
         bytes("app"), false, false},
        {"object id prefix", CKA_OBJECT_ID, {1, 2, 3, 4}, CKA_OBJECT_ID, {1, 2}, false, true},
        {"object id empty entry", CKA_OBJECT_ID, {1, 2, 3}, CKA_OBJECT_ID, {}, false, true},
        {"object id longer entry", CKA_OBJECT_ID, {1, 2}, CKA_OBJECT_ID, {1, 2, 3}, false, false},
        {"id n+1", CKA_ID, bytes(std::string("abc", 4)), CKA_ID, bytes("abc"), false, true},
        {"id n", CKA_ID, bytes("abc"), CKA_ID, bytes("abc"), false, true},
        {"id n+2", CKA_ID, bytes("abcde"), CKA_ID, bytes("abc"), false, false},
        {"id one byte longer, not a NUL", CKA_ID, {0x01, 0x02}, CKA_ID, {0x01}, false, false},
        {"id one NUL longer", CKA_ID, {0x01, 0x00}, CKA_ID, {0x01}, false, true},
        {"id one NUL shorter than the entry", CKA_ID, {0x01}, CKA_ID, {0x01, 0x00}, false, true},
        {"id shorter than the entry, not a NUL",
         CKA_ID,
         {0x01},
         CKA_ID,
         {0x01, 0x02},
         false,
         false},
        {"class equal", CKA_CLASS, {3, 0, 0, 0}, CKA_CLASS, {3, 0, 0, 0}, false, true},
        {"class differs", CKA_CLASS, {3, 0, 0, 0}, CKA_CLASS, {2, 0, 0, 0}, false, false},
        {"class short entry zero-extended", CKA_CLASS, {3, 0, 0, 0}, CKA_CLASS, {3}, false, true},
        {"class null value", CKA_CLASS, {0, 0, 0, 0}, CKA_CLASS, {}, true, false},
        {"class empty value", CKA_CLASS, {0, 0, 0, 0}, CKA_CLASS, {}, false, false},
        {"exact bytes", CKA_VALUE, {9, 8, 7}, CKA_VALUE, {9, 8, 7}, false, true},
        {"exact length differs", CKA_VALUE, {9, 8, 7}, CKA_VALUE, {9, 8}, false, false},
        {"other type", CKA_SUBJECT, {1}, CKA_ISSUER, {1}, false, false},
    };
    for (const auto& c : cases) {
        pkcs11_attribute stored;
        stored.set_value(c.stored_type, c.stored.data(), static_cast<uint32_t>(c.stored.size()));
        std::vector<uint8_t> entry_bytes = c.entry;
        inner_attribute e{c.entry_type, c.null_entry ? nullptr : entry_bytes.data(),
                          static_cast<uint32_t>(entry_bytes.size())};
        if (!c.null_entry && entry_bytes.empty()) e.value = &e; // any non-null pointer
        EXPECT_EQ(attribute_match(stored, e), c.expected) << c.name;
    }
    // A null value with a length is malformed: no match, and no read through it.
    pkcs11_attribute stored;
    stored.set_value(CKA_VALUE, "xyz", 3);
    EXPECT_FALSE(attribute_match(stored, inner_attribute{CKA_VALUE, nullptr, 3}));
}

TEST(Attribute, ListKeepsFirstSeenOrderAndReplacesValues) {
    pkcs11_attribute_mgr list;
    list.set(CKA_LABEL, "a", 1);
    list.set(CKA_ID, "b", 1);
    list.set(CKA_LABEL, "cc", 2);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.records()[0].type, CKA_LABEL);
    EXPECT_EQ(list.records()[0].length(), 2u);
    EXPECT_EQ(list.records()[1].type, CKA_ID);
    const uint8_t empty_flag = 0;
    list.set(CKA_TOKEN, &empty_flag, 0);
    EXPECT_FALSE(list.flag(CKA_TOKEN, true));  // a zero-length boolean is never read past its end
    EXPECT_TRUE(list.flag(CKA_PRIVATE, true)); // absent: the caller's choice
}

TEST(AttributeStream, WriteReportsExactLengthAndRoundTrips) {
    pkcs11_attribute_mgr list;
    uint32_t length = 0;
    ASSERT_EQ(list.stream_write(nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 0u); // zero attributes: an empty stream

    const uint32_t cls = CKO_SECRET_KEY;
    list.set(CKA_CLASS, &cls, 4);
    list.set(CKA_LABEL, "key", 4);
    list.set(CKA_VALUE, nullptr, 0);
    const uint32_t total = (4 + 8) + (4 + 8) + (0 + 8);
    EXPECT_EQ(list.stream_size(), total);

    std::vector<uint8_t> buffer(total);
    length = total - 1;
    EXPECT_EQ(list.stream_write(buffer.data(), &length), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(length, total);
    ASSERT_EQ(list.stream_write(buffer.data(), &length), CKR_OK);
    EXPECT_EQ(get_le32(buffer.data()), CKA_CLASS);
    EXPECT_EQ(get_le32(buffer.data() + 4), 4u);
    EXPECT_EQ(get_le32(buffer.data() + 8), CKO_SECRET_KEY);
    EXPECT_EQ(get_le32(buffer.data() + 12), CKA_LABEL);

    pkcs11_attribute_mgr back;
    uint32_t in = total;
    ASSERT_EQ(back.stream_read(buffer.data(), &in), CKR_OK);
    EXPECT_EQ(in, total);
    ASSERT_EQ(back.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(back.records()[i].type, list.records()[i].type);
        EXPECT_EQ(back.records()[i].value, list.records()[i].value);
    }
}

// Builds one stream entry with a declared length that may differ from the bytes given.
std::vector<uint8_t> entry(uint32_t type, uint32_t declared, const std::vector<uint8_t>& value) {
    std::vector<uint8_t> e(8);
    put_le32(type, e.data());
    put_le32(declared, e.data() + 4);
    e.insert(e.end(), value.begin(), value.end());
    return e;
}

TEST(AttributeStream, ReaderRefusesEntriesThatDoNotFitAndKeepsEarlierOnes) {
    const std::vector<uint8_t> good = entry(CKA_LABEL, 2, {'o', 'k'});
    struct read_case {
        const char* name;
        std::vector<uint8_t> tail; // appended after one good entry
    } const cases[] = {
        {"head cut after 1 byte", {0x03}},
        {"head cut after 7 bytes", {0x03, 0, 0, 0, 5, 0, 0}},
        {"length wraps n + 8", entry(CKA_VALUE, 0xFFFFFFF9u, {1, 2, 3})},
        {"length at maximum", entry(CKA_VALUE, 0xFFFFFFFFu, {1})},
        {"value one byte short", entry(CKA_VALUE, 4, {1, 2, 3})},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> stream = good;
        stream.insert(stream.end(), c.tail.begin(), c.tail.end());
        pkcs11_attribute_mgr list;
        auto length = static_cast<uint32_t>(stream.size());
        EXPECT_EQ(list.stream_read(stream.data(), &length), CKR_DATA_LEN_RANGE) << c.name;
        EXPECT_EQ(length, good.size()) << c.name; // bytes consumed
        ASSERT_EQ(list.size(), 1u) << c.name;
        EXPECT_EQ(list.records()[0].length(), 2u) << c.name;
    }
    // Integer types read from a stream become 4 bytes; duplicates are appended.
    std::vector<uint8_t> stream = entry(CKA_CLASS, 8, {2, 0, 0, 0, 0, 0, 0, 0});
    const auto again = entry(CKA_CLASS, 4, {3, 0, 0, 0});
    stream.insert(stream.end(), again.begin(), again.end());
    pkcs11_attribute_mgr list;
    auto length = static_cast<uint32_t>(stream.size());
    ASSERT_EQ(list.stream_read(stream.data(), &length), CKR_OK);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.find(CKA_CLASS)->as_u32(), 2u); // the first one counts
}

} // namespace
