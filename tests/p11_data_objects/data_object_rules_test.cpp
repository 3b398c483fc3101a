// The data-object file rules that need no card: the 52-byte header, the
// file-name counter, and reading names and headers that came from a card
// (damaged ones included).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pkcs11_data_objects.h"
#include "pkcs11_object.h"

namespace {

using bytes = std::vector<uint8_t>;

std::shared_ptr<pkcs11_object>
data_object(const std::vector<std::pair<uint32_t, bytes>>& attributes) {
    std::vector<inner_attribute> entries;
    for (const auto& [type, value] : attributes)
        entries.push_back(
            {type, const_cast<uint8_t*>(value.data()), static_cast<uint32_t>(value.size())});
    auto o =
        pkcs11_object::create(0, CKO_DATA, entries.data(), static_cast<uint32_t>(entries.size()));
    EXPECT_NE(o, nullptr);
    return o;
}

bytes text(const char* s, bool nul = false) {
    bytes b(s, s + std::strlen(s));
    if (nul) b.push_back(0);
    return b;
}

bytes attr(const pkcs11_object& o, uint32_t type) {
    const pkcs11_attribute* a = o.attributes().find(type);
    return a != nullptr ? a->value : bytes{0xEE, 0xEE};
}

bytes u32(uint32_t v) {
    bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

} // namespace

TEST(DataObjectHeader, is_laid_out_field_by_field_little_endian) {
    const auto o = data_object({{CKA_TOKEN, {1}},
                                {CKA_PRIVATE, {1}},
                                {CKA_LABEL, text("mydata", true)},
                                {CKA_APPLICATION, text("app")},
                                {CKA_OBJECT_ID, {0x06, 0x03, 0x2A, 0x03, 0x04}},
                                {CKA_VALUE_LEN, u32(0x01020304)}});
    const data_object_header h = object_header_build(*o);
    data_object_header want{};
    std::memcpy(want.data() + 4, "mydata", 6);
    std::memcpy(want.data() + 20, "app", 3);
    const uint8_t oid[] = {0x06, 0x03, 0x2A, 0x03, 0x04};
    std::memcpy(want.data() + 36, oid, sizeof oid);
    want[44] = 1;
    want[45] = 1;
    want[46] = 1;
    want[48] = 0x04;
    want[49] = 0x03;
    want[50] = 0x02;
    want[51] = 0x01;
    EXPECT_EQ(h, want);
}

// Fields that do not fit stay zero (or at their default); the object keeps them.
TEST(DataObjectHeader, attributes_longer_than_their_field_are_not_stored) {
    const bytes label20 = text("twenty-character-lbl");
    const auto o = data_object({{CKA_TOKEN, {1}},
                                {CKA_MODIFIABLE, {0}},
                                {CKA_LABEL, label20},
                                {CKA_APPLICATION, text("seventeen-chars!!")},
                                {CKA_OBJECT_ID, bytes(9, 0x55)}});
    const data_object_header h = object_header_build(*o);
    EXPECT_EQ(bytes(h.begin() + 4, h.begin() + 44), bytes(40, 0));
    EXPECT_EQ(h[46], 0); // CKA_MODIFIABLE false is stored
    EXPECT_EQ(attr(*o, CKA_LABEL), label20);

    // Reloaded from the header alone, the label and application are empty
    // and the identifier 8 zeros.
    const auto back = pkcs11_object::create(0, CKO_DATA, nullptr, 0);
    object_header_parse(h, *back);
    EXPECT_EQ(attr(*back, CKA_LABEL), bytes{});
    EXPECT_EQ(attr(*back, CKA_APPLICATION), bytes{});
    EXPECT_EQ(attr(*back, CKA_OBJECT_ID), bytes(8, 0));
    EXPECT_EQ(attr(*back, CKA_MODIFIABLE), bytes{0});
    // The file name carries the label after its "_": loaded from that file,
    // the object has it again, byte for byte.
    data_object_set_file_name("PUBOBJ3_twenty-character-lbl", h, *back);
    EXPECT_EQ(attr(*back, CKA_LABEL), label20);
    EXPECT_EQ(attr(*back, ZELT_CKA_FILE_NAME), text("PUBOBJ3_twenty-character-lbl"));
}

// The header's label wins over the name's; a name without "_" carries none.
TEST(DataObjectHeader, the_name_gives_the_label_only_when_the_header_has_none) {
    const auto with_label = data_object({{CKA_TOKEN, {1}}, {CKA_LABEL, text("new")}});
    const data_object_header h = object_header_build(*with_label);
    const auto back = pkcs11_object::create(0, CKO_DATA, nullptr, 0);
    object_header_parse(h, *back);
    data_object_set_file_name("PUBOBJ1_old", h, *back);
    EXPECT_EQ(attr(*back, CKA_LABEL), text("new"));

    const auto without = data_object({{CKA_TOKEN, {1}}, {CKA_LABEL, {}}});
    const data_object_header empty = object_header_build(*without);
    const auto plain = pkcs11_object::create(0, CKO_DATA, nullptr, 0);
    object_header_parse(empty, *plain);
    data_object_set_file_name("PUBOBJ2", empty, *plain);
    EXPECT_EQ(attr(*plain, CKA_LABEL), bytes{});
    // A file keeps its name when its object is relabelled: a label that the
    // header's field could hold says nothing, the empty field is the label.
    data_object_set_file_name("PUBOBJ3_old", empty, *plain);
    EXPECT_EQ(attr(*plain, CKA_LABEL), bytes{});
    data_object_set_file_name("PUBOBJ4_sixteen-chars-ok", empty, *plain);
    EXPECT_EQ(attr(*plain, CKA_LABEL), bytes{});
    data_object_set_file_name("PUBOBJ5_a-label-of-17-chr", empty, *plain);
    EXPECT_EQ(attr(*plain, CKA_LABEL), text("a-label-of-17-chr"));
    EXPECT_EQ(data_object_name_label("PRIOBJ12_a_b"), "a_b");
    EXPECT_EQ(data_object_name_label("PRIOBJ12"), "");
}

TEST(DataObjectHeader, parses_into_the_attributes_it_was_built_from) {
    const auto o = data_object({{CKA_TOKEN, {1}},
                                {CKA_LABEL, text("sixteen-chars-ok")}, // fills the field, no NUL
                                {CKA_APPLICATION, text("a", true)},
                                {CKA_VALUE_LEN, u32(181)}});
    const data_object_header h = object_header_build(*o);
    const auto back = pkcs11_object::create(0, CKO_DATA, nullptr, 0);
    object_header_parse(h, *back);
    EXPECT_EQ(attr(*back, CKA_TOKEN), bytes{1});
    EXPECT_EQ(attr(*back, CKA_PRIVATE), bytes{0});
    EXPECT_EQ(attr(*back, CKA_MODIFIABLE), bytes{1});
    // Texts read back as they were written, without a terminator.
    EXPECT_EQ(attr(*back, CKA_LABEL), text("sixteen-chars-ok"));
    EXPECT_EQ(attr(*back, CKA_APPLICATION), text("a"));
    EXPECT_EQ(attr(*back, CKA_VALUE_LEN), u32(181));
    EXPECT_FALSE(back->attributes().has(CKA_VALUE)); // read later, when needed
    EXPECT_EQ(data_object_header_value_length(h), 181u);
}

TEST(DataObjectHeader, damaged_headers_are_not_objects) {
    data_object_header h{};
    EXPECT_FALSE(data_object_header_usable(h)); // a file whose writing did not end
    h[44] = 1;
    EXPECT_TRUE(data_object_header_usable(h));
    h[48] = 0xFF, h[49] = 0xFF, h[50] = 0xFF, h[51] = 0xFF; // 4 GB
    EXPECT_FALSE(data_object_header_usable(h));
    h[48] = data_object_value_max & 0xFF, h[49] = data_object_value_max >> 8, h[50] = 0, h[51] = 0;
    EXPECT_TRUE(data_object_header_usable(h));
    h[48] += 1;
    EXPECT_FALSE(data_object_header_usable(h));
}

struct name_case {
    const char* what;
    std::string list; // as the device returns it
    const char* want;
    uint64_t floor = 0; // the token's change counter
};

class DataObjectName : public ::testing::TestWithParam<name_case> {};

TEST_P(DataObjectName, takes_the_first_counter_not_in_the_list) {
    const name_case& c = GetParam();
    EXPECT_EQ(data_object_pick_name("PUBOBJ", std::span<const char>(c.list.data(), c.list.size()),
                                    c.floor),
              c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, DataObjectName,
    ::testing::Values(
        name_case{"empty", std::string(), "PUBOBJ0"},
        // k NULs and no file with PUBOBJ(k-1): the counter is k - 1.
        name_case{"three names", std::string("cmapfile\0cardcf\0CacheFile\0", 26), "PUBOBJ2"},
        name_case{"one name", std::string("cardcf\0", 7), "PUBOBJ0"},
        // 1 and 12 occur in the list text; so does 0 (in PUBOBJ0_x).
        name_case{"prefixes of others", std::string("PUBOBJ1_x\0PUBOBJ12\0PUBOBJ0_a\0", 29),
                  "PUBOBJ2"},
        name_case{"taken from k-1 on", std::string("PUBOBJ1\0PUBOBJ2\0", 16), "PUBOBJ3"},
        name_case{"private files do not count", std::string("PRIOBJ1\0PRIOBJ2\0", 16), "PUBOBJ1"},
        name_case{"no terminating NUL", std::string("PUBOBJ0"), "PUBOBJ1"},
        // The change counter is where the counter starts when it is higher:
        // a name the module gave a file it deleted since comes no more.
        name_case{"floor above the count", std::string("cardcf\0", 7), "PUBOBJ57", 57},
        name_case{"floor on an empty list", std::string(), "PUBOBJ9", 9},
        name_case{"floor taken in the list", std::string("PUBOBJ57_x\0PUBOBJ58\0", 20), "PUBOBJ59",
                  57},
        name_case{"count above the floor", std::string("cmapfile\0cardcf\0CacheFile\0", 26),
                  "PUBOBJ2", 1}),
    [](const auto& info) {
        std::string n = info.param.what;
        for (char& ch : n)
            if (ch == ' ' || ch == '-') ch = '_';
        return n;
    });

// Whether an object stored in a file of that name is read back with its label.
TEST(DataObjectName, a_file_gives_back_the_labels_its_header_or_its_name_holds) {
    const std::string l20 = "a-twenty-byte-label!";
    const struct {
        std::string name;
        bytes label;
        bool kept;
    } cases[] = {
        {"PUBOBJ3_old", text("new"), true},          // in the header
        {"PUBOBJ3_old", bytes{}, true},              // the empty field
        {"PUBOBJ3_old", bytes{0}, true},             // read back as the empty label
        {"PUBOBJ3_old", text(l20.c_str()), false},   // neither holds it
        {"PUBOBJ3_" + l20, text(l20.c_str()), true}, // the name holds it
        {"PUBOBJ3_" + l20, bytes{}, false},          // the name would give it back
        {"PUBOBJ3_" + l20, text("new"), true},       // the header's wins
    };
    for (const auto& c : cases) {
        const auto o = data_object({{CKA_LABEL, c.label}});
        EXPECT_EQ(data_object_file_keeps_label(c.name, *o), c.kept)
            << c.name << " / " << std::string(c.label.begin(), c.label.end());
    }
}

TEST(DataObjectName, the_counter_is_read_back_from_a_name) {
    EXPECT_EQ(data_object_name_counter("PUBOBJ57_x"), 57u);
    EXPECT_EQ(data_object_name_counter("PRIOBJ0"), 0u);
    EXPECT_EQ(data_object_name_counter("PUBOBJ4294967295_a"), 4294967295u);
    EXPECT_EQ(data_object_name_counter("PUBOBJ4294967296"), std::nullopt);
    EXPECT_EQ(data_object_name_counter("PUBOBJ_x"), std::nullopt);
    EXPECT_EQ(data_object_name_counter("PUBOBJ"), std::nullopt);
}

TEST(DataObjectName, the_label_is_appended_up_to_its_first_nul_when_it_is_at_most_64_bytes) {
    EXPECT_EQ(data_object_label_suffix(*data_object({{CKA_LABEL, text("x", true)}})), "_x");
    EXPECT_EQ(data_object_label_suffix(*data_object({{CKA_LABEL, bytes{'a', 0, 'b'}}})), "_a");
    EXPECT_EQ(data_object_label_suffix(*data_object({{CKA_LABEL, bytes(64, 'L')}})),
              "_" + std::string(64, 'L'));
    EXPECT_EQ(data_object_label_suffix(*data_object({{CKA_LABEL, bytes(65, 'L')}})), "");
    EXPECT_EQ(data_object_label_suffix(*data_object({{CKA_LABEL, {}}})), "");
    EXPECT_STREQ(data_object_prefix_for(*data_object({{CKA_PRIVATE, {1}}})), "PRIOBJ");
    EXPECT_STREQ(data_object_prefix_for(*data_object({})), "PUBOBJ");
}

TEST(DataObjectName, lists_from_the_card_are_read_within_their_bounds) {
    using names = std::vector<std::string>;
    const auto split = [](const std::string& s) {
        return data_object_split_names({s.data(), s.size()});
    };
    EXPECT_EQ(split(std::string("a\0bc\0", 5)), (names{"a", "bc"}));
    EXPECT_EQ(split(std::string("a\0\0ignored\0", 11)), (names{"a"})); // an empty name ends it
    EXPECT_EQ(split(std::string("a\0unterminated", 14)), (names{"a", "unterminated"}));
    EXPECT_EQ(split(std::string()), names{});
    EXPECT_EQ(split(std::string("\0", 1)), names{});
}
