// The shared services: settings file, language choice and list, dates,
// web addresses, registry values, text commands between windows, file
// versions, the single-instance claim and container-name splitting.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "CallIAQ9ProApis.h"
#include "IniFiles.h"
#include "ProjectBase.h"
#include "registry.h"
#include "single_instance.h"
#include "test_env.h"
#include "untFunctionSysInfo.h"

using namespace pruvell;
using traytest::read_text;
using traytest::user_dirs;
using traytest::write_text;

namespace {

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

class Base : public ::testing::Test {
  protected:
    user_dirs dirs_;
};

} // namespace

// ---- settings ----

TEST_F(Base, the_data_directory_is_created_under_appdata) {
    const QString dir = DataDirectory();
    EXPECT_EQ(dir, q(dirs_.data()));
    EXPECT_TRUE(std::filesystem::is_directory(dirs_.data()));
}

TEST_F(Base, settings_round_trip_in_the_order_of_the_record) {
    const std::string path = dirs_.root() + "/MgrConfig.ini";
    TConfigInfo c;
    c.URLOpenMode = 1;
    c.URL = QStringLiteral("https://example.test/x");
    c.BrowserMode = 0;
    c.CertTips = 1;
    c.CertDay = 30;
    c.LanguageID = 0;
    c.DefaultPINMode = 0;
    c.PINCache = 0;
    ASSERT_EQ(WriteConfig(q(path), c), 0);
    EXPECT_EQ(read_text(path), "[APPConfig]\r\nURLOpenMode=1\r\nURL=https://example.test/x\r\n"
                               "BrowserMode=0\r\nCertTips=1\r\nCertDay=30\r\nLanguageID=0\r\n"
                               "DefaultPINMode=0\r\nPINCache=0\r\n");
    TConfigInfo back;
    QStringList problems;
    ASSERT_EQ(ReadConfig(q(path), back, &problems), 0);
    EXPECT_TRUE(problems.isEmpty());
    EXPECT_EQ(back.URLOpenMode, 1);
    EXPECT_EQ(back.URL, c.URL);
    EXPECT_EQ(back.CertTips, 1);
    EXPECT_EQ(back.CertDay, 30);
    EXPECT_EQ(back.LanguageID, 0);
    EXPECT_EQ(back.DefaultPINMode, 0);
    EXPECT_EQ(back.PINCache, 0);
}

namespace {
struct config_case {
    const char* name;
    const char* content; // nullptr: no file
    int result;
    int problems;
    int cert_day;
    int pin_cache;
    size_t length = 0; // 0: up to the NUL
};
std::ostream& operator<<(std::ostream& o, const config_case& c) {
    return o << c.name;
}
class BadConfig : public Base, public ::testing::WithParamInterface<config_case> {};
} // namespace

TEST_P(BadConfig, gives_the_defaults_and_says_what_was_wrong) {
    const config_case& c = GetParam();
    const std::string path = dirs_.root() + "/MgrConfig.ini";
    if (c.content != nullptr)
        write_text(path, std::string(c.content, c.length != 0 ? c.length : std::strlen(c.content)));
    TConfigInfo config;
    config.CertDay = 77; // overwritten in every case
    QStringList problems;
    EXPECT_EQ(ReadConfig(q(path), config, &problems), c.result);
    EXPECT_EQ(problems.size(), c.problems) << problems.join(u'|').toStdString();
    EXPECT_EQ(config.CertDay, c.cert_day);
    EXPECT_EQ(config.PINCache, c.pin_cache);
    EXPECT_EQ(config.LanguageID, 1033);
    EXPECT_EQ(config.DefaultPINMode, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadConfig,
    ::testing::Values(config_case{"missing", nullptr, 0, 1, 0, 1},
                      config_case{"empty", "", 0, 0, 0, 1},
                      config_case{"other_section", "[Other]\nCertDay=5\n", 0, 0, 0, 1},
                      config_case{"some_keys", "[appconfig]\ncertday=12\n", 0, 0, 12, 1},
                      config_case{"not_numbers", "[APPConfig]\nCertDay=abc\nPINCache=0x1\n", 0, 2,
                                  0, 1},
                      config_case{"too_large", "[APPConfig]\nCertDay=99999999999\n", 0, 1, 0, 1},
                      config_case{"binary",
                                  "\x7F"
                                  "ELF\x02\x01\0\0\0\x07",
                                  1, 1, 0, 1, 10}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Base, a_settings_file_that_cannot_be_read_is_reported_and_never_overwritten) {
    const std::string path = dirs_.root() + "/dir.ini";
    std::filesystem::create_directory(path); // not a file
    TConfigInfo c;
    EXPECT_EQ(ReadConfig(q(path), c), 1);
    EXPECT_EQ(WriteConfig(q(path), c), 1);
    EXPECT_TRUE(std::filesystem::is_directory(path));
}

// ---- language choice and list ----

TEST_F(Base, the_language_follows_english_ini) {
    const std::string path = dirs_.root() + "/English.ini";
    EXPECT_EQ(PickLanguage(q(path)), 1033) << "missing file";
    const char* vietnamese[] = {"[Current]\nkey=Vietnamese\n", "[current]\nKEY = VIETNAMESE\n",
                                "\xEF\xBB\xBF[Current]\nkey=\"vietnamese\"\n"};
    for (const char* text : vietnamese) {
        write_text(path, text);
        EXPECT_EQ(PickLanguage(q(path)), 1066) << text;
    }
    const char* english[] = {"[Current]\nkey=English\n", "[Current]\nkey=Vietnam\n",
                             "[Other]\nkey=Vietnamese\n", "key=Vietnamese\n"};
    for (const char* text : english) {
        write_text(path, text);
        EXPECT_EQ(PickLanguage(q(path)), 1033) << text;
    }
    write_text(path, std::string("[Current]\nkey=Vietnamese\0\0", 27));
    EXPECT_EQ(PickLanguage(q(path)), 1033) << "a file that is not text";
}

TEST_F(Base, the_language_list_takes_at_most_129_sections_with_their_defaults) {
    const std::string path = dirs_.root() + "/LanguageInfo.ini";
    std::string text =
        "[English]\nLanguageID=1033\nLnaguageName=English\nLanguageFile=EN_1033.lng\n"
        "LanguageCSP=tavrel_v1.0_csp.en.dll\n[Vietnamese]\nLanguageID=1066\n";
    for (int i = 0; i < 140; ++i)
        text += "[Extra" + std::to_string(i) + "]\n";
    write_text(path, text);
    TLanguageInfo info;
    ASSERT_EQ(ReadLanguageList(q(path), info), 0);
    EXPECT_EQ(info.Count, 129);
    EXPECT_EQ(info.LanguageCSP[0], QStringLiteral("tavrel_v1.0_csp.en.dll"));
    EXPECT_EQ(info.LanguageID[1], QStringLiteral("1066"));
    EXPECT_EQ(info.LanguageName[1], QStringLiteral("English")); // default
    EXPECT_EQ(info.LanguageFile[1], QStringLiteral("EN_1033.lng"));
    EXPECT_EQ(info.LanguageCSP[1], QString());
    EXPECT_EQ(ReadLanguageList(q(dirs_.root() + "/none.ini"), info), 1);
}

// ---- dates ----

TEST(Dates, expiry_warnings_count_days_with_fractions_up_to_that_midnight) {
    const QDateTime now(QDate(2026, 12, 10), QTime(15, 30));
    const QDate in29 = now.date().addDays(29), in31 = now.date().addDays(31);
    EXPECT_TRUE(IsExpiringWithin(in29.year(), in29.month(), in29.day(), 30, now));
    EXPECT_FALSE(IsExpiringWithin(in31.year(), in31.month(), in31.day(), 30, now));
    // Days 0: true from the midnight that starts the day.
    const QDate tomorrow = now.date().addDays(1);
    EXPECT_FALSE(IsExpiringWithin(tomorrow.year(), tomorrow.month(), tomorrow.day(), 0, now));
    EXPECT_TRUE(IsExpiringWithin(tomorrow.year(), tomorrow.month(), tomorrow.day(), 0,
                                 QDateTime(tomorrow, QTime(0, 0))));
    EXPECT_TRUE(IsExpiringWithin(2020, 1, 1, 0, now)) << "a past date";
    EXPECT_FALSE(IsExpiringWithin(2026, 2, 30, 365, now)) << "no such day";
    EXPECT_EQ(ParseDateTime(QStringLiteral("2026/02/03 04:05:06")),
              QDateTime(QDate(2026, 2, 3), QTime(4, 5, 6)));
    EXPECT_EQ(ParseDateTime(QStringLiteral("2026/2/3")), QDateTime(QDate(2026, 2, 3), QTime(0, 0)));
    EXPECT_FALSE(ParseDateTime(QStringLiteral("2026-02-03")).isValid());
}

// ---- web addresses ----

TEST(Urls, only_web_addresses_are_ever_opened) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"   ", ""},
        {" https://www.tavrel.example/a?b=c ", "https://www.tavrel.example/a?b=c"},
        {"HTTP://x.example", "HTTP://x.example"},
        {"www.tavrel.example", "http://www.tavrel.example"},
        {"file:///etc/passwd", ""},
        {"/usr/bin/xterm", ""},
        {"../run.sh", ""},
        {"javascript:alert(1)", ""},
        {"C:\\Windows\\calc.exe", ""},
        {"mailto:a@b.example", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UrlToOpen(QString::fromUtf8(c.in)).toStdString(), c.out) << c.in;
}

TEST_F(Base, open_url_hands_the_address_to_the_desktop_opener_and_nothing_else) {
    const std::string log = dirs_.root() + "/opened";
    const std::string opener = dirs_.root() + "/opener.sh";
    write_text(opener, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + log + "'\n");
    std::filesystem::permissions(opener, std::filesystem::perms::owner_all);
    setenv("TAVREL_URL_OPENER", opener.c_str(), 1);
    OpenUrl(nullptr, QString(), 0);                   // nothing
    OpenUrl(nullptr, QStringLiteral("/bin/true"), 0); // not an address: nothing
    OpenUrl(nullptr, QStringLiteral(" www.tavrel.example "), 0);
    QTRY_VERIFY_WITH_TIMEOUT(std::filesystem::exists(log), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(read_text(log)),
                              QStringLiteral("http://www.tavrel.example\n"), 10000);
    unsetenv("TAVREL_URL_OPENER");
}

// ---- registry ----

TEST_F(Base, registry_values_are_written_where_the_tray_expects_them) {
    WriteCspRegistryValue(QStringLiteral("tavrel_v1.0_csp.vn.dll"));
    WriteCrossProcessValue(QStringLiteral("0"));
    WriteCrossProcessValue(QStringLiteral("not a number")); // nothing written
    std::string csp;
    uint32_t cross = 9;
    ASSERT_EQ(plat::registry_get_string("software\\TAVREL1.0", "Velkora_v1.0_CSP", csp),
              plat::registry_status::ok);
    EXPECT_EQ(csp, "tavrel_v1.0_csp.vn.dll");
    ASSERT_EQ(plat::registry_get_dword("Software\\Tavrel1.0", "CrossProcess", cross),
              plat::registry_status::ok);
    EXPECT_EQ(cross, 0u);
    EXPECT_EQ(plat::registry_get_dword("Software\\Tavrel1.0", "velkora_v1.0_csp", cross),
              plat::registry_status::wrong_type);
    // Values with line breaks and backslashes survive; names that could
    // break the file are refused.
    ASSERT_TRUE(plat::registry_set_string("Software\\Tavrel1.0", "odd", "a\\b\nc=d[e]"));
    ASSERT_EQ(plat::registry_get_string("Software\\Tavrel1.0", "odd", csp),
              plat::registry_status::ok);
    EXPECT_EQ(csp, "a\\b\nc=d[e]");
    EXPECT_FALSE(plat::registry_set_string("Software\\Tavrel1.0", "bad=name", "x"));
    EXPECT_FALSE(plat::registry_set_string("Software\\]Tavrel", "x", "x"));
    EXPECT_EQ(plat::registry_get_string("Software\\Tavrel1.0", "absent", csp),
              plat::registry_status::not_found);
}

TEST_F(Base, two_registry_writers_at_once_keep_both_values) {
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < 20; ++i)
                ASSERT_TRUE(plat::registry_set_dword(
                    "Software\\Tavrel1.0", "w" + std::to_string(t) + "_" + std::to_string(i),
                    static_cast<uint32_t>(i)));
        });
    for (auto& w : writers)
        w.join();
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 20; ++i) {
            uint32_t v = 99;
            ASSERT_EQ(plat::registry_get_dword("Software\\Tavrel1.0",
                                               "w" + std::to_string(t) + "_" + std::to_string(i),
                                               v),
                      plat::registry_status::ok);
            EXPECT_EQ(v, static_cast<uint32_t>(i));
        }
}

// ---- text commands between windows ----

TEST_F(Base, a_command_is_sent_as_utf16_with_its_nul) {
    std::mutex m;
    std::condition_variable cv;
    std::vector<plat::copydata> got;
    auto window = plat::message_window::create("Tavrel_v1.0_Mgr", [&](const plat::copydata& c) {
        std::lock_guard lock(m);
        got.push_back(c);
        cv.notify_all();
    });
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(SendCopyDataCommand(QStringLiteral("CLOSE"), QStringLiteral("Tavrel_v1.0_Mgr")),
              plat::send_result::delivered);
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return !got.empty(); }));
    EXPECT_EQ(got[0].dw_data, 0u);
    const std::vector<uint8_t> expected{'C', 0, 'L', 0, 'O', 0, 'S', 0, 'E', 0, 0, 0};
    EXPECT_EQ(got[0].bytes, expected) << "five characters: a byte count of 12";
    lock.unlock();
    window.reset();
    EXPECT_EQ(SendCopyDataCommand(QStringLiteral("CLOSE"), QStringLiteral("Tavrel_v1.0_Mgr")),
              plat::send_result::no_window);
}

TEST(CopyData, the_received_text_ends_at_its_nul_or_at_the_byte_count) {
    const struct {
        std::vector<uint8_t> bytes;
        const char16_t* text;
    } cases[] = {
        {{'R', 0, 'e', 0, 'g', 0, 0, 0, 'X', 0}, u"Reg"},
        {{'A', 0, 'B', 0}, u"AB"},      // no NUL: the count ends it
        {{'A', 0, 'B', 0, 'C'}, u"AB"}, // an odd last byte is no unit
        {{}, u""},
        {{0, 0, 'A', 0}, u""},
        {{0x41, 0x00, 0xEA, 0x1E}, u"A\u1EEA"},
    };
    for (const auto& c : cases) {
        plat::copydata record;
        record.bytes = c.bytes;
        EXPECT_EQ(CopyDataText(record), QString::fromUtf16(c.text));
    }
}

TEST_F(Base, a_sender_is_answered_while_the_gui_thread_is_busy) {
    TCopyDataWindow window(QStringLiteral("Tavrel_v1.0_TrayIcon"));
    ASSERT_TRUE(window.listening());
    QSignalSpy received(&window, &TCopyDataWindow::commandReceived);
    // Another process sends "RegCert" while this GUI thread is blocked (as
    // in a token call waiting for the library lock that the sender holds).
    std::atomic<int> result{-1};
    std::atomic<bool> done{false};
    std::thread sender([&] {
        const std::vector<uint8_t> text{'R', 0, 'e', 0, 'g', 0, 'C', 0,
                                        'e', 0, 'r', 0, 't', 0, 0,   0};
        const auto target = plat::find_window("Tavrel_v1.0_TrayIcon");
        result = static_cast<int>(plat::send_copydata(target, 0, text, 5000));
        done = true;
    });
    const auto start = std::chrono::steady_clock::now();
    while (!done && std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
        std::this_thread::yield(); // the GUI thread processes no events here
    sender.join();
    EXPECT_EQ(result.load(), static_cast<int>(plat::send_result::delivered));
    EXPECT_EQ(received.size(), 0) << "handled on the GUI thread only";
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 1, 10000);
    EXPECT_EQ(received[0][0].toString(), QStringLiteral("RegCert"));
}

// ---- file versions ----

TEST_F(Base, file_versions_come_from_the_version_section) {
    EXPECT_EQ(FileVersionString(QStringLiteral(PRUVELL_PATH)), QStringLiteral("1.0.0.1"));
    EXPECT_EQ(FileVersionString(QStringLiteral(DRUMVALE_PATH)), QStringLiteral("1.0.0.1"));
    EXPECT_EQ(FileVersionString(QStringLiteral(CERTSTORE_PATH)), QString())
        << "no version resource";
    EXPECT_EQ(FileVersionString(q(dirs_.root() + "/none")), QString());
    write_text(dirs_.root() + "/text", "not a program");
    EXPECT_EQ(FileVersionString(q(dirs_.root() + "/text")), QString());
    // A version section whose content is not a version block.
    const std::string bad = dirs_.root() + "/bad";
    write_text(dirs_.root() + "/junk.bin", std::string(24, 'x'));
    const std::string cmd = "objcopy --add-section .tavrel_version=" + dirs_.root() + "/junk.bin " +
                            CERTSTORE_PATH + " " + bad + " 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(FileVersionString(q(bad)), QStringLiteral("-1"));
}

// ---- single instance ----

TEST_F(Base, the_instance_claim_is_held_by_one_holder_until_it_lets_go) {
    auto first = std::make_unique<plat::instance_mapping>("{Tavrelv1.0Mon-TEST}");
    plat::instance_mapping second("{Tavrelv1.0Mon-TEST}");
    ASSERT_TRUE(first->opened());
    EXPECT_FALSE(first->claim(1)) << "the first claims";
    EXPECT_TRUE(second.claim(2)) << "the second finds it claimed";
    first.reset();
    EXPECT_FALSE(second.claim(2)) << "free again once the holder is gone";
    EXPECT_TRUE(plat::instance_mapping("{Tavrelv1.0Mon-TEST}").claim(3));
    // A mapping that cannot be opened lets the program run.
    plat::instance_mapping unusable("");
    EXPECT_FALSE(unusable.opened());
    EXPECT_FALSE(unusable.claim(4));
}

// ---- container names ----

TEST(ContainerNames, splitting_keeps_to_the_length_the_buffer_and_65_names) {
    const char names[] = "one\0two\0\0three";
    EXPECT_EQ(SplitContainerNames(names, 14, sizeof names),
              QStringList({QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")}));
    EXPECT_EQ(SplitContainerNames(names, 6, sizeof names),
              QStringList({QStringLiteral("one"), QStringLiteral("tw")}));
    // A length beyond the buffer is cut to the buffer.
    EXPECT_EQ(SplitContainerNames(names, 4000, 8).size(), 2);
    std::string many;
    for (int i = 0; i < 100; ++i)
        many += "c" + std::to_string(i) + '\0';
    EXPECT_EQ(SplitContainerNames(many.data(), static_cast<uint32_t>(many.size()),
                                  static_cast<uint32_t>(many.size()))
                  .size(),
              65);
}
