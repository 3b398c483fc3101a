// Drumvale without a token: its table bounds over a fake module, module
// loading, certificate parsing and classification, and the certificate store
// with its listing command.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cert_maker.h"
#include "cert_store.h"
#include "drumvale.h"

using namespace traytest;

namespace {

std::u16string u16(const uint16_t* s) {
    std::u16string out;
    for (size_t i = 0; s[i] != 0; ++i)
        out += static_cast<char16_t>(s[i]);
    return out;
}

class temp_dir {
  public:
    temp_dir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "dv-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~temp_dir() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

class FakeModule : public ::testing::Test {
  protected:
    void TearDown() override {
        uninit_pkcs11();
        unsetenv("FAKE_TOKENS");
        unsetenv("FAKE_CONTAINERS");
    }
    void load(int tokens, int containers) {
        setenv("FAKE_TOKENS", std::to_string(tokens).c_str(), 1);
        setenv("FAKE_CONTAINERS", std::to_string(containers).c_str(), 1);
        // The ".dll" name of the language files finds libFakeToken.so beside the program.
        ASSERT_EQ(init_pkcs11("FakeToken.dll"), 0u);
    }
};

} // namespace

TEST(DrumvaleLoading, names_and_state_errors_are_refused_with_their_codes) {
    uint32_t ids[32];
    uint32_t count = 32;
    EXPECT_EQ(token_find(ids, &count), DRUMVALE_E_NOT_INITIALISED);
    EXPECT_EQ(token_connect(0), DRUMVALE_E_NOT_INITIALISED);
    EXPECT_EQ(init_pkcs11(""), DRUMVALE_E_BAD_ARGUMENT);
    EXPECT_EQ(init_pkcs11(" "), DRUMVALE_E_BAD_ARGUMENT); // a language file without the key
    EXPECT_EQ(init_pkcs11(nullptr), DRUMVALE_E_BAD_ARGUMENT);
    EXPECT_EQ(init_pkcs11("q9pro_pkcs11.dll"), DRUMVALE_E_MODULE_LOAD);
    EXPECT_EQ(init_pkcs11("/nonexistent/libx.so"), DRUMVALE_E_MODULE_LOAD);
    // A library that is no PKCS#11 module.
    EXPECT_EQ(init_pkcs11("libc.so.6"), DRUMVALE_E_MODULE_LOAD);
    EXPECT_EQ(token_find(ids, &count), DRUMVALE_E_NOT_INITIALISED);
}

class TokenTable : public FakeModule, public ::testing::WithParamInterface<int> {};

TEST_P(TokenTable, at_most_17_tokens_are_kept_and_every_index_is_checked) {
    const int present = GetParam();
    load(present, 0);
    uint32_t ids[32];
    for (uint32_t& id : ids)
        id = 0xEEEEEEEE;
    uint32_t count = 32;
    const uint32_t rc = token_find(ids, &count);
    const uint32_t kept = present > 17 ? 17u : static_cast<uint32_t>(present);
    EXPECT_EQ(rc, present > 17 ? DRUMVALE_E_TOO_MANY_TOKENS : 0u);
    EXPECT_EQ(count, kept);
    for (uint32_t i = 0; i < kept; ++i)
        EXPECT_EQ(ids[i], 10 + i);
    for (uint32_t i = kept; i < 32; ++i)
        EXPECT_EQ(ids[i], 0xEEEEEEEEu) << "written past the tokens kept";
    for (uint32_t i = 0; i < kept; ++i)
        EXPECT_EQ(token_connect(i), 0u);
    char label[33];
    uint32_t max_pin = 0, min_pin = 0, hw = 0, fw = 0, init = 0;
    if (kept > 0) {
        ASSERT_EQ(token_get_info(kept - 1, label, nullptr, nullptr, nullptr, &max_pin, &min_pin,
                                 nullptr, nullptr, nullptr, nullptr, &hw, &fw, &init),
                  0u);
        EXPECT_EQ(std::string(label), "fake " + std::to_string(10 + kept - 1));
        EXPECT_EQ(max_pin, 16u);
        EXPECT_EQ(min_pin, 8u);
        EXPECT_EQ(hw, 0x0102u);
        EXPECT_EQ(fw, 0x0304u);
        EXPECT_EQ(init, 1u);
    }
    for (uint32_t bad : {kept, kept + 1, 31u, 0xFFFFFFFFu}) {
        EXPECT_EQ(token_connect(bad), DRUMVALE_E_BAD_INDEX);
        EXPECT_EQ(token_get_info(bad, label, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
                  DRUMVALE_E_BAD_INDEX);
        uint32_t retries = 0;
        EXPECT_EQ(token_login(bad, "12345678", &retries), DRUMVALE_E_BAD_INDEX);
        char names[64];
        uint32_t length = sizeof names;
        EXPECT_EQ(container_load_all(bad, names, &length), DRUMVALE_E_BAD_INDEX);
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, TokenTable, ::testing::Values(0, 1, 17, 18, 32),
                         ::testing::PrintToStringParamName());

TEST_F(FakeModule, a_short_id_array_gets_the_required_count) {
    load(5, 0);
    uint32_t ids[4];
    uint32_t count = 4;
    EXPECT_EQ(token_find(ids, &count), DRUMVALE_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 5u);
}

class ContainerTable : public FakeModule, public ::testing::WithParamInterface<int> {};

TEST_P(ContainerTable, at_most_65_names_and_never_past_the_callers_length) {
    const int present = GetParam();
    load(1, present);
    uint32_t ids[32];
    uint32_t count = 32;
    ASSERT_EQ(token_find(ids, &count), 0u);
    std::vector<char> buffer(8192 + 64, '\x5A');
    uint32_t length = 8192;
    const uint32_t rc = container_load_all(0, buffer.data(), &length);
    const int kept = present > 65 ? 65 : present;
    EXPECT_EQ(rc, present > 65 ? DRUMVALE_E_TOO_MANY_CONTAINERS : 0u);
    std::vector<std::string> names;
    for (size_t pos = 0; pos < length;) {
        names.emplace_back(buffer.data() + pos);
        pos += names.back().size() + 1;
    }
    ASSERT_EQ(static_cast<int>(names.size()), kept);
    for (int i = 0; i < kept; ++i)
        EXPECT_EQ(names[i], "c" + std::to_string(i));
    for (size_t i = length; i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], '\x5A') << "byte " << i << " written past the names";

    // A buffer too short for the names: the needed length, nothing written past it.
    if (kept > 0) {
        std::vector<char> small(8, '\x5A');
        uint32_t small_length = 4;
        EXPECT_EQ(container_load_all(0, small.data(), &small_length), DRUMVALE_E_BUFFER_TOO_SMALL);
        EXPECT_EQ(small_length, length);
        for (size_t i = 4; i < small.size(); ++i)
            EXPECT_EQ(small[i], '\x5A');
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, ContainerTable, ::testing::Values(0, 3, 65, 66, 300),
                         ::testing::PrintToStringParamName());

TEST_F(FakeModule, pin_state_of_a_module_without_the_vendor_record_comes_from_the_token_flags) {
    load(1, 0);
    uint32_t ids[32];
    uint32_t count = 32;
    ASSERT_EQ(token_find(ids, &count), 0u);
    uint32_t remaining = 0, maximum = 0, low = 9, final_try = 9, locked = 9, is_default = 9;
    ASSERT_EQ(
        token_get_pin_state(0, 1, &remaining, &maximum, &low, &final_try, &locked, &is_default),
        0u);
    EXPECT_EQ(is_default, 1u); // the fake sets CKF_USER_PIN_TO_BE_CHANGED
    EXPECT_EQ(locked, 0u);
    EXPECT_EQ(remaining, DRUMVALE_RETRIES_UNKNOWN);
    EXPECT_EQ(
        token_get_pin_state(0, 7, &remaining, &maximum, &low, &final_try, &locked, &is_default),
        DRUMVALE_E_BAD_ARGUMENT);
}

// ---- certificate information ----

namespace {

struct kind_case {
    const char* name;
    int basic_constraints; // -1 none
    bool self_issued;
    bool signed_by_own_key;
    bool sm2;
    uint32_t kind;
};

std::ostream& operator<<(std::ostream& o, const kind_case& c) {
    return o << c.name;
}

class CertKind : public ::testing::TestWithParam<kind_case> {};

} // namespace

TEST_P(CertKind, classifies_end_entities_roots_and_other_cas) {
    const kind_case& c = GetParam();
    EVP_PKEY* key = c.sm2 ? sm2_key() : rsa_key();
    EVP_PKEY* other = c.sm2 ? sm2_key() : rsa_key();
    ASSERT_NE(key, nullptr);
    cert_spec spec;
    spec.key = key;
    spec.subject_cn = "leaf";
    spec.issuer_cn = c.self_issued ? "" : "issuing ca";
    spec.issuer_key = c.signed_by_own_key ? nullptr : other;
    spec.basic_constraints = c.basic_constraints;
    const bytes der = make_cert(spec);
    uint32_t kind = 99;
    EXPECT_EQ(helper_get_cert_info2(der.data(), static_cast<uint32_t>(der.size()), nullptr, nullptr,
                                    nullptr, nullptr, nullptr, nullptr, &kind),
              0u);
    EXPECT_EQ(kind, c.kind);
    EVP_PKEY_free(key);
    EVP_PKEY_free(other);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CertKind,
    ::testing::Values(kind_case{"issued_end_entity", 0, false, false, false, 0},
                      kind_case{"issued_without_constraints", -1, false, false, false, 0},
                      kind_case{"self_signed_ca", 1, true, true, false, 1},
                      kind_case{"self_signed_v3_without_constraints", -1, true, true, false, 1},
                      kind_case{"self_signed_end_entity", 0, true, true, false, 0},
                      kind_case{"intermediate_ca", 1, false, false, false, 2},
                      kind_case{"same_names_wrong_signature_ca", 1, true, false, false, 2},
                      kind_case{"same_names_wrong_signature_plain", -1, true, false, false, 0},
                      kind_case{"sm2_self_signed_ca", 1, true, true, true, 1},
                      kind_case{"sm2_end_entity", 0, false, false, true, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CertInfo, names_serial_version_and_dates_come_out_in_the_callers_fields) {
    EVP_PKEY* key = rsa_key();
    cert_spec spec;
    spec.key = key;
    spec.subject_cn = "Trần Văn \xF0\x9D\x84\x9E"; // Vietnamese letters and U+1D11E
    spec.issuer_cn = "Tavrel Issuing CA";
    spec.serial = 0x1A2B3C;
    spec.not_after_text = "20510315120000Z"; // GeneralizedTime, after 2049
    const bytes der = make_cert(spec);
    uint16_t subject[257], issuer[257];
    char serial[257];
    uint32_t version = 0, before[9] = {}, after[9] = {}, kind = 9;
    ASSERT_EQ(helper_get_cert_info2(der.data(), static_cast<uint32_t>(der.size()), subject, issuer,
                                    &version, serial, before, after, &kind),
              0u);
    EXPECT_EQ(u16(subject), u"Trần Văn \U0001D11E");
    EXPECT_EQ(u16(issuer), u"Tavrel Issuing CA");
    EXPECT_EQ(version, 3u);
    EXPECT_EQ(std::string(serial), "1A2B3C");
    const uint32_t expected_after[9] = {2051, 3, 15, 12, 0, 0, 3, 74, 0};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(after[i], expected_after[i]) << i;
    std::time_t now = std::time(nullptr);
    std::tm today{};
    gmtime_r(&now, &today);
    EXPECT_EQ(before[0], static_cast<uint32_t>(today.tm_year + 1900));
    EVP_PKEY_free(key);
}

TEST(CertInfo, a_long_name_is_cut_at_a_whole_character_and_terminated) {
    EVP_PKEY* key = rsa_key();
    cert_spec spec;
    spec.key = key;
    std::string cn = "a";
    for (int i = 0; i < 63; ++i)
        cn += "\xF0\x9D\x84\x9E"; // 1 + 126 units
    spec.subject_cn = cn;
    spec.issuer_cn = std::string(300, 'i').substr(0, 64);
    const bytes der = make_cert(spec);
    uint16_t subject[257];
    std::fill(std::begin(subject), std::end(subject), 0xAAAA);
    ASSERT_EQ(helper_get_cert_info2(der.data(), static_cast<uint32_t>(der.size()), subject, nullptr,
                                    nullptr, nullptr, nullptr, nullptr, nullptr),
              0u);
    const std::u16string s = u16(subject);
    EXPECT_EQ(s.size(), 127u);
    EXPECT_EQ(s.back(), 0xDD1E); // the last pair is whole
    EVP_PKEY_free(key);
}

TEST(CertInfo, anything_but_one_whole_der_certificate_is_refused) {
    EVP_PKEY* key = rsa_key();
    cert_spec spec;
    spec.key = key;
    bytes der = make_cert(spec);
    uint32_t kind = 0;
    EXPECT_EQ(helper_get_cert_info2(der.data(), 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, &kind),
              DRUMVALE_E_BAD_CERTIFICATE);
    EXPECT_EQ(helper_get_cert_info2(der.data(), static_cast<uint32_t>(der.size() - 1), nullptr,
                                    nullptr, nullptr, nullptr, nullptr, nullptr, &kind),
              DRUMVALE_E_BAD_CERTIFICATE);
    bytes trailing = der;
    trailing.push_back(0);
    EXPECT_EQ(helper_get_cert_info2(trailing.data(), static_cast<uint32_t>(trailing.size()),
                                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &kind),
              DRUMVALE_E_BAD_CERTIFICATE);
    EXPECT_EQ(helper_get_cert_info2(nullptr, 10, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, &kind),
              DRUMVALE_E_BAD_CERTIFICATE);
    EVP_PKEY_free(key);
}

// ---- certificate store ----

namespace {

class Store : public ::testing::Test {
  protected:
    void SetUp() override { setenv("TAVREL_CERTSTORE", (dir_.path() + "/store").c_str(), 1); }
    void TearDown() override { unsetenv("TAVREL_CERTSTORE"); }

    bytes cert(const std::string& cn, int ca = 0) {
        EVP_PKEY* key = rsa_key();
        cert_spec spec;
        spec.key = key;
        spec.subject_cn = cn;
        spec.basic_constraints = ca;
        bytes der = make_cert(spec);
        EVP_PKEY_free(key);
        return der;
    }
    std::vector<plat::cert_entry> list(const char* store) {
        std::vector<plat::cert_entry> out;
        EXPECT_EQ(plat::cert_store_list(store, out), plat::store_result::ok);
        return out;
    }
    std::string run_certstore(const std::string& arguments, int* status) {
        std::string command = std::string(CERTSTORE_PATH) + " " + arguments + " 2>&1";
        FILE* p = popen(command.c_str(), "r");
        std::string out;
        char buffer[4096];
        size_t n = 0;
        while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
            out.append(buffer, n);
        *status = pclose(p);
        return out;
    }

    temp_dir dir_;
};

} // namespace

TEST_F(Store, certificates_are_linked_to_their_provider_and_removed_by_it_alone) {
    const bytes a1 = cert("a1"), a2 = cert("a2"), b1 = cert("b1"), root = cert("root", 1);
    ASSERT_EQ(container_addcert_to_store("ca1", "Tavrel CSP V1.0", 2, a1.data(), a1.size()), 0u);
    ASSERT_EQ(container_addcert_to_store("ca2", "Tavrel CSP V1.0", 1, a2.data(), a2.size()), 0u);
    ASSERT_EQ(container_addcert_to_store("cb1", "Other CSP", 2, b1.data(), b1.size()), 0u);
    // Adding again replaces: still one entry for a1.
    ASSERT_EQ(container_addcert_to_store("ca1", "Tavrel CSP V1.0", 2, a1.data(), a1.size()), 0u);
    ASSERT_EQ(helper_add_root_cert_to_store(reinterpret_cast<const uint16_t*>(u"ROOT"), root.data(),
                                            root.size()),
              0u);
    auto my = list("MY");
    ASSERT_EQ(my.size(), 3u);
    for (const auto& e : my) {
        ASSERT_TRUE(e.properties.has_value());
        if (e.der == a1) {
            EXPECT_EQ(e.properties->provider, "Tavrel CSP V1.0");
            EXPECT_EQ(e.properties->container, "ca1");
            EXPECT_EQ(e.properties->key_spec, 2u);
            EXPECT_EQ(e.sha1_hex, sha1_hex(a1));
        }
    }
    ASSERT_EQ(remove_all_certs_from_store("Tavrel CSP V1.0"), 0u);
    my = list("MY");
    ASSERT_EQ(my.size(), 1u);
    EXPECT_EQ(my[0].der, b1);
    EXPECT_EQ(list("ROOT").size(), 1u) << "the roots stay";
    // Nothing left for that provider: still a success.
    EXPECT_EQ(remove_all_certs_from_store("Tavrel CSP V1.0"), 0u);
}

TEST_F(Store, root_additions_take_only_the_ca_stores_and_only_certificates) {
    const bytes c = cert("ca", 1);
    const uint32_t size = static_cast<uint32_t>(c.size());
    EXPECT_EQ(
        helper_add_root_cert_to_store(reinterpret_cast<const uint16_t*>(u"ca"), c.data(), size),
        0u);
    EXPECT_EQ(
        helper_add_root_cert_to_store(reinterpret_cast<const uint16_t*>(u"MY"), c.data(), size),
        DRUMVALE_E_BAD_ARGUMENT);
    EXPECT_EQ(helper_add_root_cert_to_store(reinterpret_cast<const uint16_t*>(u"Disallowed"),
                                            c.data(), size),
              DRUMVALE_E_BAD_ARGUMENT);
    const uint8_t junk[] = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(helper_add_root_cert_to_store(reinterpret_cast<const uint16_t*>(u"ROOT"), junk,
                                            sizeof junk),
              DRUMVALE_E_BAD_CERTIFICATE);
    EXPECT_EQ(container_addcert_to_store("c\nprovider=evil", "p", 1, c.data(), size),
              DRUMVALE_E_BAD_ARGUMENT);
    EXPECT_EQ(container_addcert_to_store("c", "p", 3, c.data(), size), DRUMVALE_E_BAD_ARGUMENT);
    EXPECT_EQ(list("CA").size(), 1u);
    EXPECT_EQ(list("MY").size(), 0u);
    EXPECT_EQ(list("ROOT").size(), 0u);
}

TEST_F(Store, two_writers_at_once_lose_nothing) {
    std::vector<bytes> first, second;
    for (int i = 0; i < 12; ++i) {
        first.push_back(cert("first " + std::to_string(i)));
        second.push_back(cert("second " + std::to_string(i)));
    }
    // The other writer is another process, running the same calls.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failures = 0;
        for (const bytes& c : second)
            failures += container_addcert_to_store("x", "Writer B", 1, c.data(), c.size()) != 0;
        _exit(failures);
    }
    for (const bytes& c : first)
        EXPECT_EQ(container_addcert_to_store("x", "Writer A", 2, c.data(), c.size()), 0u);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(list("MY").size(), 24u);
    ASSERT_EQ(remove_all_certs_from_store("Writer A"), 0u);
    const auto left = list("MY");
    ASSERT_EQ(left.size(), 12u);
    for (const auto& e : left)
        EXPECT_EQ(e.properties->provider, "Writer B");
}

TEST_F(Store, the_certstore_command_prints_one_line_per_certificate) {
    const bytes a = cert("alice"), r = cert("root ca", 1);
    ASSERT_EQ(container_addcert_to_store("cont1", "Tavrel CSP V1.0", 2, a.data(), a.size()), 0u);
    ASSERT_EQ(helper_add_root_cert_to_store(reinterpret_cast<const uint16_t*>(u"ROOT"), r.data(),
                                            r.size()),
              0u);
    int status = 0;
    EXPECT_EQ(run_certstore("list MY", &status),
              "MY\t" + sha1_hex(a) + "\tO = Tests, CN = alice\tTavrel CSP V1.0\tcont1\t2\n");
    EXPECT_EQ(status, 0);
    const std::string all = run_certstore("list", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(all.find("MY\t" + sha1_hex(a)), std::string::npos);
    EXPECT_NE(all.find("ROOT\t" + sha1_hex(r) + "\tO = Tests, CN = root ca\t-\t-\t-\n"),
              std::string::npos);
    run_certstore("list FOO", &status);
    EXPECT_EQ(WEXITSTATUS(status), 2);
    run_certstore("remove", &status);
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

TEST_F(FakeModule, the_configured_start_ignores_strings_a_module_has_no_use_for) {
    setenv("FAKE_TOKENS", "2", 1);
    ASSERT_EQ(init_pkcs11_ex("", "", "", "FakeToken.dll"), 0u);
    uint32_t ids[32];
    uint32_t count = 32;
    EXPECT_EQ(token_find(ids, &count), 0u);
    EXPECT_EQ(count, 2u);
    // Loading again replaces the module that was loaded.
    ASSERT_EQ(init_pkcs11_ex("Quessar vKessa Tavrel,,", "Tavrel01", "", "FakeToken.dll"), 0u);
    EXPECT_EQ(token_connect(0), DRUMVALE_E_BAD_INDEX) << "a fresh table";
    EXPECT_EQ(init_pkcs11_ex("", "", "", "missing.dll"), DRUMVALE_E_MODULE_LOAD);
    EXPECT_EQ(token_find(ids, &count), DRUMVALE_E_NOT_INITIALISED);
}
