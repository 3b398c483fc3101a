// The exact bytes of every builder of the application, file, container,
// certificate and card-management commands, with the boundaries of every
// length field: a wrong offset, byte order or bound fails here.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cmd_app_file.h"
#include "dispatch.h"
#include "test_hex.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes hex(const char* text) {
    return test_support::from_hex(text);
}

bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes fill(size_t n, uint8_t value) {
    return bytes(n, value);
}
bytes text(const std::string& s) {
    return bytes(s.begin(), s.end());
}
std::string name(size_t n) {
    return std::string(n, 'n');
}

struct builder_case {
    const char* label;
    std::function<apdu_holder()> build;
    bytes expected; // empty: the builder must refuse
    const char* command_name = nullptr;
    int32_t timeout = 0;
};

std::ostream& operator<<(std::ostream& os, const builder_case& c) {
    return os << c.label;
}

const bytes record84 = fill(84, 0xAB);
const bytes record44 = fill(44, 0x5C);

const builder_case cases[] = {
    // Applications.
    {"create_application", [] { return build_create_application(record84); },
     hex("80 20 00 00 00 00 54") + record84, "CreateApplication"},
    {"create_application_128", [] { return build_create_application(fill(128, 1)); },
     hex("80 20 00 00 00 00 80") + fill(128, 1)},
    {"create_application_129", [] { return build_create_application(fill(129, 1)); }, {}},
    {"create_application_empty", [] { return build_create_application({}); }, {}},
    // Le 2046: one reply body in the 2048-byte reply buffer.
    {"enum_application", [] { return build_enum_application(); }, hex("80 22 00 00 00 07 FE"),
     "EnumApplication"},
    {"open_application", [] { return build_open_application("APP"); },
     hex("80 26 00 00 00 00 03 41 50 50 00 0A"), "OpenApplication"},
    {"open_application_reserved",
     [] { return build_open_application("\xF0\xF1\xF2\xF3\xF4\xF5\xF6\xF7"); },
     hex("80 26 00 00 00 00 08 F0 F1 F2 F3 F4 F5 F6 F7 00 0A")},
    {"open_application_128", [] { return build_open_application(name(128)); },
     hex("80 26 00 00 00 00 80") + text(name(128)) + hex("00 0A")},
    {"open_application_129", [] { return build_open_application(name(129)); }, {}},
    {"open_application_empty", [] { return build_open_application(""); }, {}},
    {"close_application", [] { return build_close_application(0x1234); },
     hex("80 28 00 00 00 00 02 12 34"), "CloseApplication"},
    {"get_app_extened_info", [] { return build_get_app_extened_info(0x0102); },
     hex("C0 60 00 00 00 00 02 01 02 00 00"), "GetAppExtenedInfo"},

    // Files.
    {"create_file", [] { return build_create_file(0xA1B2, record44); },
     hex("80 30 A1 B2 00 00 2C") + record44, "CreateFile"},
    {"create_file_empty", [] { return build_create_file(1, {}); }, {}},
    {"delete_file", [] { return build_delete_file(0x0001, "F"); }, hex("80 32 00 01 00 00 01 46"),
     "DeleteFile", 10000},
    {"delete_file_empty_name", [] { return build_delete_file(1, ""); }, {}},
    {"enum_files", [] { return build_enum_files(0x0102); }, hex("80 34 01 02 00 07 FE"),
     "EnumFiles"},
    {"get_file_info", [] { return build_get_file_info(0x0001, "CacheFile"); },
     hex("80 36 00 01 00 00 09") + text("CacheFile") + hex("00 0C"), "GetFileInfo"},
    {"get_file_info_128", [] { return build_get_file_info(1, name(128)); },
     hex("80 36 00 01 00 00 80") + text(name(128)) + hex("00 0C")},
    {"get_file_info_129", [] { return build_get_file_info(1, name(129)); }, {}},
    {"set_file_info", [] { return build_set_file_info(0x0203, fill(40, 7)); },
     hex("C0 50 02 03 00 00 28") + fill(40, 7), "SetFileInfo"},
    {"read_file", [] { return build_read_file(0x0001, "AB", 0x0102, 0x0304); },
     hex("80 38 00 00 00 00 0A 00 01 01 02 03 04 00 02 41 42 03 04"), "ReadFile"},
    {"read_file_name_120", [] { return build_read_file(1, name(120), 0, 16); },
     hex("80 38 00 00 00 00 80 00 01 00 00 00 10 00 78") + text(name(120)) + hex("00 10")},
    {"read_file_name_121", [] { return build_read_file(1, name(121), 0, 16); }, {}},
    {"read_file_ends_at_ffff", [] { return build_read_file(1, "A", 0xFFFE, 1); },
     hex("80 38 00 00 00 00 09 00 01 FF FE 00 01 00 01 41 00 01")},
    {"read_file_past_ffff", [] { return build_read_file(1, "A", 0xFFFF, 1); }, {}},
    {"read_file_offset_10000", [] { return build_read_file(1, "A", 0x10000, 1); }, {}},
    {"read_file_length_0", [] { return build_read_file(1, "A", 0, 0); }, {}},
    {"read_file_length_2046", [] { return build_read_file(1, "A", 0, 2046); },
     hex("80 38 00 00 00 00 09 00 01 00 00 07 FE 00 01 41 07 FE")},
    {"read_file_length_2047", [] { return build_read_file(1, "A", 0, 2047); }, {}},
    {"write_file", [] { return build_write_file(0x0001, "AB", 0x0010, hex("01 02 03")); },
     hex("80 3A 00 00 00 00 0D 00 01 00 10 00 02 41 42 00 03 01 02 03"), "WriteFile"},
    {"write_file_name_120", [] { return build_write_file(1, name(120), 0, hex("09")); },
     hex("80 3A 00 00 00 00 81 00 01 00 00 00 78") + text(name(120)) + hex("00 01 09")},
    {"write_file_name_121", [] { return build_write_file(1, name(121), 0, hex("09")); }, {}},
    {"write_file_empty_data", [] { return build_write_file(1, "A", 0, {}); }, {}},
    {"write_file_ends_at_ffff", [] { return build_write_file(1, "A", 0xFFFE, hex("09")); },
     hex("80 3A 00 00 00 00 0A 00 01 FF FE 00 01 41 00 01 09")},
    {"write_file_past_ffff", [] { return build_write_file(1, "A", 0xFFFE, hex("09 09")); }, {}},
    {"write_file_offset_10000", [] { return build_write_file(1, "A", 0x10000, hex("09")); }, {}},
    {"set_fs_cursor", [] { return build_set_fs_cursor(0xABCD); }, hex("C0 52 AB CD"),
     "SetzFSCursor"},

    // Containers and certificates.
    {"create_container", [] { return build_create_container(0x0001, "c1"); },
     hex("80 40 00 00 00 00 04 00 01 63 31 00 02"), "CreateContainer"},
    {"create_container_126", [] { return build_create_container(1, name(126)); },
     hex("80 40 00 00 00 00 80 00 01") + text(name(126)) + hex("00 02")},
    {"create_container_127", [] { return build_create_container(1, name(127)); }, {}},
    {"create_container_empty", [] { return build_create_container(1, ""); }, {}},
    {"open_container", [] { return build_open_container(0x0203, "c1"); },
     hex("80 42 00 00 00 00 04 02 03 63 31 00 02"), "OpenContainer"},
    {"open_container_127", [] { return build_open_container(1, name(127)); }, {}},
    {"close_container", [] { return build_close_container(1, 2); },
     hex("80 44 00 00 00 00 04 00 01 00 02"), "CloseContainer"},
    {"enum_containers", [] { return build_enum_containers(0x0A0B); },
     hex("80 46 00 00 00 00 02 0A 0B"), "EnumContainers"},
    {"delete_container", [] { return build_delete_container(1, "c1"); },
     hex("80 48 00 00 00 00 04 00 01 63 31"), "DeleteContainer"},
    {"delete_container_127", [] { return build_delete_container(1, name(127)); }, {}},
    {"get_container_info", [] { return build_get_container_info(1, "c1"); },
     hex("80 4A 00 00 00 00 04 00 01 63 31 00 0B"), "GetContainerInfo"},
    {"get_container_info_126", [] { return build_get_container_info(1, name(126)); },
     hex("80 4A 00 00 00 00 80 00 01") + text(name(126)) + hex("00 0B")},
    {"get_container_info_128", [] { return build_get_container_info(1, name(128)); }, {}},
    {"import_certificate_header", [] { return build_import_certificate_header(1, 2, 1, 2500); },
     hex("80 4C 00 00 00 00 09 00 01 00 02 01 00 00 09 C4"), "ImportCertificate"},
    {"export_certificate", [] { return build_export_certificate(1, 2, 1); },
     hex("80 4E 01 00 00 00 04 00 01 00 02 07 FE"), "ExportCertificate"},
    {"export_certificate_exchange", [] { return build_export_certificate(0x0102, 0x0304, 0); },
     hex("80 4E 00 00 00 00 04 01 02 03 04 07 FE")},
    {"delete_certificate", [] { return build_delete_certificate(1, 2, 0); },
     hex("C0 24 00 00 00 00 04 00 01 00 02"), "DeleteCertificate"},

    // Card management.
    {"format", [] { return build_format(fill(288, 0x11), fill(16, 0x22), 8, 8, 0); },
     hex("C0 00 00 00 00 01 4A") + text("zELTInit") + fill(288, 0x11) + fill(16, 0x22) +
         fill(16, 0) + hex("08 08"),
     "Format", 30000},
    {"format_empty_record_still_330", [] { return build_format({}, {}, 1, 2, 3); },
     hex("C0 00 03 00 00 01 4A") + text("zELTInit") + fill(288 + 32, 0) + hex("01 02"), nullptr,
     30000},
    {"format_record_289", [] { return build_format(fill(289, 1), {}, 8, 8, 0); }, {}},
    {"format_key_33", [] { return build_format(fill(288, 1), fill(33, 1), 8, 8, 0); }, {}},
    {"get_fs_max_cap", [] { return build_get_fs_max_cap(); }, hex("C0 02 00 00 00 00 04"),
     "GetFSMaxCap"},
    {"get_raw_hwsn", [] { return build_get_raw_hwsn(); }, hex("C0 04 00 00 00 00 00"),
     "GetRawHWSN"},
    {"read_oem_info", [] { return build_read_oem_info(128, 128); }, hex("C0 0A 00 80 00 00 80"),
     "ReadOemInfo"},
    {"read_oem_info_offset_ffff", [] { return build_read_oem_info(0xFFFF, 1); },
     hex("C0 0A FF FF 00 00 01")},
    {"read_oem_info_offset_10000", [] { return build_read_oem_info(0x10000, 1); }, {}},
    {"read_oem_info_length_0", [] { return build_read_oem_info(0, 0); }, {}},
    {"write_oem_info", [] { return build_write_oem_info(1, hex("AA BB")); },
     hex("C0 0C 00 01 00 00 02 AA BB"), "WriteOemInfo"},
    {"write_oem_info_2039", [] { return build_write_oem_info(0, fill(2039, 3)); },
     hex("C0 0C 00 00 00 07 F7") + fill(2039, 3)},
    {"write_oem_info_2040", [] { return build_write_oem_info(0, fill(2040, 3)); }, {}},
    {"write_oem_info_empty", [] { return build_write_oem_info(0, {}); }, {}},
    {"write_oem_info_offset_10000", [] { return build_write_oem_info(0x10000, hex("01")); }, {}},
};

class builder_bytes : public ::testing::TestWithParam<builder_case> {};

TEST_P(builder_bytes, exact_command) {
    const builder_case& c = GetParam();
    apdu_holder command = c.build();
    if (c.expected.empty()) {
        EXPECT_EQ(command, nullptr) << "input that does not fit must be refused";
        return;
    }
    ASSERT_NE(command, nullptr);
    EXPECT_EQ(command->to_bytes(), c.expected);
    if (c.command_name) {
        EXPECT_STREQ(command->name(), c.command_name);
    }
    EXPECT_EQ(command->timeout(), c.timeout);
}

// The card's own command table (written separately) knows every command the
// host builds, under the same name.
TEST_P(builder_bytes, card_table_has_the_command) {
    const builder_case& c = GetParam();
    if (c.expected.empty()) return;
    apdu_holder command = c.build();
    ASSERT_NE(command, nullptr);
    uint16_t status = 0;
    const cardsim::command_row* row =
        cardsim::find_command(cardsim::command_table(), static_cast<uint8_t>(command->cla() & 0xEF),
                              command->ins(), command->p1(), command->p2(), status);
    ASSERT_NE(row, nullptr) << std::hex << status;
    EXPECT_STREQ(row->name, command->name());
}

INSTANTIATE_TEST_SUITE_P(cmd_app_file, builder_bytes, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.label); });

} // namespace
