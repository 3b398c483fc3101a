// The update check against an HTTP server of the test's own on 127.0.0.1:
// a newer version is found, downloaded, checked, offered and started, from a
// version file with only the version and the setup program's address as
// from one that also announces its size and digest; an older or equal one
// is not; a 404, a connection cut short, a setup program that is not what
// the version file announced, an announcement that cannot be read, a cancel
// ("Update") and the program closing leave no file that is offered or
// started.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>

#include <openssl/evp.h>

#include <filesystem>
#include <set>

#include "DownloadURL.h"
#include "dialog_test_support.h"
#include "http_server.h"

using namespace pruvell;
using dialogtest::http_server;

namespace {

const std::string setup_program = "#!/bin/sh\necho started > \"$0.started\"\n";

std::string sha256_hex(const std::string& data) {
    unsigned char md[32];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
        out += hex[md[i] >> 4];
        out += hex[md[i] & 15];
    }
    return out;
}

class Update : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.listening());
        dialogtest::load_english(dirs_.root());
        SetUpdatePollInterval(20);
        SetUpdateCancelled(false);
        dir_ = dirs_.data() + "update/";
        std::filesystem::create_directories(dir_);
        client_version("1.2");
        server_version("1.3", setup_program);
        server_.set("/setup", {200, setup_program});
    }
    void TearDown() override {
        SetUpdateCancelled(false);
        SetUpdatePollInterval(500);
        ResetTexts();
    }

    void client_version(const std::string& v) {
        traytest::write_text(dir_ + "ClientConfig.ini",
                             "[Mgr]\nVersion=" + v +
                                 "\n[URL]\nVersionFile=" + server_.url("/version.ini") + "\n");
    }
    // The version file announcing `announced` as the setup program.
    void server_version(const std::string& v, const std::string& announced) {
        server_version_with(v, "UpdateSize=" + std::to_string(announced.size()) +
                                   "\nUpdateSHA256=" + sha256_hex(announced) + "\n");
    }
    // The version file with the version, the setup program's address and
    // `more` lines of [URL].
    void server_version_with(const std::string& v, const std::string& more) {
        server_.set("/version.ini", {200, "[Mgr]\nVersion=" + v + "\n[URL]\nUpdateFile=" +
                                              server_.url("/setup") + "\n" + more});
    }

    // The texts of the log lines (after the date, the time and "：").
    std::vector<std::string> log() const {
        std::vector<std::string> texts;
        for (const std::string& line : dialogtest::lines_of(dir_ + "Logs.txt")) {
            const size_t colon = line.find("：");
            texts.push_back(colon == std::string::npos
                                ? "<no colon> " + line
                                : line.substr(colon + std::string("：").size()));
        }
        return texts;
    }
    std::set<std::string> files() const {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir_))
            names.insert(e.path().filename().string());
        return names;
    }
    std::string setup_path() const { return dir_ + "vKessa_Setup.exe"; }
    bool started() const { return std::filesystem::exists(setup_path() + ".started"); }

    // Answers the next question with the button, recording its text.
    void answer(QMessageBox::StandardButton button) {
        script_.then([this, button](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            ASSERT_NE(box, nullptr);
            questions_.push_back(box->text().toStdString());
            EXPECT_EQ(box->windowTitle(), QStringLiteral("Information"));
            box->button(button)->click();
        });
    }
    void check(const std::function<bool()>& exitRequested = [] { return false; }) {
        CheckForUpdate(nullptr, exitRequested);
    }
    // Both questions answered Yes: 1.3 is found over 1.2, the setup program
    // downloaded and started.
    void expect_offered_downloaded_and_started();

    traytest::user_dirs dirs_;
    http_server server_;
    std::string dir_;
    dialogtest::modal_script script_;
    std::vector<std::string> questions_;
};

const std::string found = "服务器版本高于客户端版本";
const std::string begun = "开始更新...";
const std::string upgrade_question = "A new version is detected, do you want to upgrade?";
const std::string install_question = "The new version has been downloaded, is it installed?";

void Update::expect_offered_downloaded_and_started() {
    answer(QMessageBox::Yes);
    answer(QMessageBox::Yes);
    check();
    EXPECT_EQ(questions_, (std::vector<std::string>{upgrade_question, install_question}));
    EXPECT_EQ(log(),
              (std::vector<std::string>{"Server Ver = 1.3  Client Ver = 1.2", found, begun}));
    EXPECT_EQ(traytest::read_text(setup_path()), setup_program);
    EXPECT_EQ(server_.requests(), (std::vector<std::string>{"/version.ini", "/setup"}));
    EXPECT_TRUE(dialogtest::wait_for([&] { return started(); })) << "the setup program was started";
}

} // namespace

TEST_F(Update, a_newer_version_is_downloaded_checked_offered_and_started) {
    expect_offered_downloaded_and_started();
}

struct versions_case {
    const char* name;
    const char* client;
    const char* server;
};
void PrintTo(const versions_case& c, std::ostream* os) {
    *os << c.name;
}

class NoNewerVersion : public Update, public ::testing::WithParamInterface<versions_case> {};

TEST_P(NoNewerVersion, is_logged_and_nothing_is_offered) {
    client_version(GetParam().client);
    server_version(GetParam().server, setup_program);
    check();
    EXPECT_EQ(script_.seen(), 0);
    EXPECT_EQ(log(), (std::vector<std::string>{std::string("Server Ver = ") + GetParam().server +
                                                   "  Client Ver = " + GetParam().client,
                                               "未检测到新版本"}));
    EXPECT_EQ(server_.requests(), std::vector<std::string>{"/version.ini"});
}

const versions_case no_newer_cases[] = {
    {"equal", "1.2", "1.2"},
    {"older", "2.0", "1.9"},
    // Versions compare as text: "1.10" sorts before "1.9".
    {"compared_as_text", "1.9", "1.10"},
};
INSTANTIATE_TEST_SUITE_P(Cases, NoNewerVersion, ::testing::ValuesIn(no_newer_cases),
                         [](const auto& info) { return std::string(info.param.name); });

struct failed_download_case {
    const char* name;
    http_server::reply setup;
    const char* code;
};
void PrintTo(const failed_download_case& c, std::ostream* os) {
    *os << c.name;
}

class FailedDownload : public Update, public ::testing::WithParamInterface<failed_download_case> {};

TEST_P(FailedDownload, leaves_nothing_to_offer) {
    traytest::write_text(setup_path(), "an older setup program");
    server_.set("/setup", GetParam().setup);
    answer(QMessageBox::Yes);
    check();
    EXPECT_EQ(questions_, std::vector<std::string>{upgrade_question}) << "no install question";
    EXPECT_EQ(log(),
              (std::vector<std::string>{"Server Ver = 1.3  Client Ver = 1.2", found, begun,
                                        std::string("失败更新，返回值 = ") + GetParam().code}));
    EXPECT_EQ(files(), (std::set<std::string>{"ClientConfig.ini", "ServerConfig.txt", "Logs.txt"}))
        << "no setup program, old or partial, and no temporary file";
}

const failed_download_case failed_cases[] = {
    {"not_found", {404, "no such file"}, "404"},
    {"connection_cut", {200, setup_program, http_server::mode::cut, 10}, "18"},
    {"other_digest", {200, std::string(setup_program).replace(0, 2, "#?")}, "1002"},
    {"longer_than_announced", {200, setup_program + "# more\n"}, "1001"},
    {"shorter_than_announced", {200, setup_program.substr(0, 20)}, "1001"},
};
INSTANTIATE_TEST_SUITE_P(Cases, FailedDownload, ::testing::ValuesIn(failed_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Update, a_cancel_or_the_program_closing_during_the_download_offers_nothing) {
    for (bool by_exit : {false, true}) {
        SCOPED_TRACE(by_exit ? "exit" : "Update");
        SetUpdateCancelled(false);
        std::filesystem::remove(dir_ + "Logs.txt");
        questions_.clear();
        // The setup program stops after its first bytes and waits.
        http_server server;
        ASSERT_TRUE(server.listening());
        const std::string big(200000, 'x');
        server.set("/version.ini",
                   {200, "[Mgr]\nVersion=1.3\n[URL]\nUpdateFile=" + server.url("/setup") +
                             "\nUpdateSize=200000\nUpdateSHA256=" + sha256_hex(big) + "\n"});
        server.set("/setup", {200, big, http_server::mode::hold, 1000});
        traytest::write_text(dir_ + "ClientConfig.ini", "[Mgr]\nVersion=1.2\n[URL]\nVersionFile=" +
                                                            server.url("/version.ini") + "\n");
        bool exit_requested = false;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (!server.holding()) return;
            if (by_exit)
                exit_requested = true;
            else
                CancelUpdate();
        });
        watch.start(5);
        answer(QMessageBox::Yes);
        check([&] { return exit_requested; });
        server.release();
        EXPECT_EQ(questions_, std::vector<std::string>{upgrade_question});
        EXPECT_EQ(log(), (std::vector<std::string>{"Server Ver = 1.3  Client Ver = 1.2", found,
                                                   begun, "放弃更新"}));
        EXPECT_EQ(files(),
                  (std::set<std::string>{"ClientConfig.ini", "ServerConfig.txt", "Logs.txt"}));
    }
}

TEST_F(Update, the_update_command_answers_an_open_question_with_no) {
    script_.then([this](QWidget* w) {
        questions_.push_back(qobject_cast<QMessageBox*>(w)->text().toStdString());
        CancelUpdate();
    });
    check();
    EXPECT_EQ(questions_, std::vector<std::string>{upgrade_question});
    EXPECT_EQ(log().back(), "放弃更新");
    EXPECT_EQ(server_.requests(), std::vector<std::string>{"/version.ini"});

    // At the install question: nothing is started.
    SetUpdateCancelled(false);
    questions_.clear();
    answer(QMessageBox::Yes);
    script_.then([this](QWidget* w) {
        questions_.push_back(qobject_cast<QMessageBox*>(w)->text().toStdString());
        CancelUpdate();
    });
    check();
    EXPECT_EQ(questions_, (std::vector<std::string>{upgrade_question, install_question}));
    EXPECT_EQ(log().back(), "放弃安装");
    EXPECT_FALSE(started());
}

TEST_F(Update, a_setup_program_changed_while_the_question_is_open_is_not_started) {
    for (bool announced : {true, false}) {
        SCOPED_TRACE(announced ? "size and digest announced" : "only the version file's address");
        std::filesystem::remove(dir_ + "Logs.txt");
        if (announced)
            server_version("1.3", setup_program);
        else
            server_version_with("1.3", "");
        answer(QMessageBox::Yes);
        script_.then([this](QWidget* w) {
            // Same size, other content.
            traytest::write_text(setup_path(), "#!/bin/sh\necho altered > \"$0.started\"\n");
            qobject_cast<QMessageBox*>(w)->button(QMessageBox::Yes)->click();
        });
        check();
        EXPECT_EQ(log().back(), "失败更新，返回值 = 1002");
        EXPECT_FALSE(std::filesystem::exists(setup_path()));
        EXPECT_FALSE(started());
    }
}

// The server's version file as users' update servers publish it: the
// version and the setup program's address, nothing more.
TEST_F(Update, a_version_file_with_only_the_version_and_the_setup_address_is_offered_and_started) {
    server_version_with("1.3", "");
    expect_offered_downloaded_and_started();
}

struct announcement_case {
    const char* name;
    std::string more; // lines of [URL] after UpdateFile
    // The last log line; empty: offered, downloaded and started.
    std::string outcome;
    bool downloaded; // the upgrade question was asked and answered Yes
};
void PrintTo(const announcement_case& c, std::ostream* os) {
    *os << c.name;
}

class Announcement : public Update, public ::testing::WithParamInterface<announcement_case> {};

// Whatever part of the size and digest the version file gives is checked;
// one it gives that cannot be read offers nothing.
TEST_P(Announcement, is_checked_as_far_as_it_goes) {
    const announcement_case& c = GetParam();
    server_version_with("1.3", c.more);
    if (c.downloaded) answer(QMessageBox::Yes);
    if (c.outcome.empty()) answer(QMessageBox::Yes);
    check();
    if (c.outcome.empty()) {
        EXPECT_EQ(questions_, (std::vector<std::string>{upgrade_question, install_question}));
        EXPECT_EQ(log().back(), begun);
        EXPECT_TRUE(dialogtest::wait_for([&] { return started(); }));
        return;
    }
    EXPECT_EQ(log().back(), c.outcome);
    EXPECT_EQ(script_.seen(), c.downloaded ? 1 : 0) << "no install question";
    EXPECT_FALSE(std::filesystem::exists(setup_path()));
    EXPECT_FALSE(started());
    if (!c.downloaded) {
        EXPECT_EQ(server_.requests(), std::vector<std::string>{"/version.ini"});
    }
}

const announcement_case announcement_cases[] = {
    {"size_only", "UpdateSize=" + std::to_string(setup_program.size()) + "\n", "", true},
    {"digest_only", "UpdateSHA256=" + sha256_hex(setup_program) + "\n", "", true},
    {"empty_values", "UpdateSize=\nUpdateSHA256=\n", "", true},
    {"other_size_only", "UpdateSize=" + std::to_string(setup_program.size() + 1) + "\n",
     "失败更新，返回值 = 1001", true},
    {"other_digest_only", "UpdateSHA256=" + sha256_hex(setup_program + "x") + "\n",
     "失败更新，返回值 = 1002", true},
    {"other_size_and_digest",
     "UpdateSize=7\nUpdateSHA256=" + sha256_hex(setup_program + "x") + "\n",
     "失败更新，返回值 = 1001", true},
    {"size_not_a_number", "UpdateSize=about 40 bytes\n", "服务端版本更新失败", false},
    {"digest_not_hex", "UpdateSHA256=" + std::string(64, 'z') + "\n", "服务端版本更新失败", false},
    {"digest_too_short", "UpdateSHA256=" + sha256_hex(setup_program).substr(2) + "\n",
     "服务端版本更新失败", false},
};
INSTANTIATE_TEST_SUITE_P(Cases, Announcement, ::testing::ValuesIn(announcement_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Update, no_client_file_or_no_server_version_file) {
    std::filesystem::remove(dir_ + "ClientConfig.ini");
    check();
    EXPECT_EQ(log(), std::vector<std::string>{"客户端配置文件不存在"});

    // An older server version file is deleted before the download fails.
    client_version("1.2");
    traytest::write_text(dir_ + "ServerConfig.txt", "[Mgr]\nVersion=9.9\n");
    server_.set("/version.ini", {404, "gone"});
    check();
    EXPECT_EQ(log().back(), "服务端版本更新失败");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "ServerConfig.txt"));
    EXPECT_EQ(script_.seen(), 0);
}

TEST_F(Update, a_log_that_cannot_be_written_ends_the_check) {
    std::filesystem::create_directories(dir_ + "Logs.txt"); // a directory in its place
    check();
    EXPECT_EQ(script_.seen(), 0) << "no question after the first line failed";
    EXPECT_EQ(server_.requests(), std::vector<std::string>{"/version.ini"});
}

TEST(DownloadFile, takes_web_addresses_only_and_keeps_the_target_on_failure) {
    traytest::user_dirs dirs;
    const std::string target = dirs.root() + "/target";
    traytest::write_text(target, "kept");
    traytest::write_text(dirs.root() + "/source", "local file");
    EXPECT_EQ(DownloadFile(QString::fromStdString("file://" + dirs.root() + "/source"),
                           QString::fromStdString(target)),
              download_error_url);
    EXPECT_EQ(DownloadFile(QStringLiteral("ftp://127.0.0.1/x"), QString::fromStdString(target)),
              download_error_url);
    http_server server;
    EXPECT_EQ(DownloadFile(QString::fromStdString(server.url("/missing")),
                           QString::fromStdString(target)),
              404u);
    EXPECT_EQ(traytest::read_text(target), "kept");
    server.set("/big", {200, std::string(100, 'b')});
    TDownloadCheck at_most;
    at_most.max_bytes = 99;
    EXPECT_EQ(DownloadFile(QString::fromStdString(server.url("/big")),
                           QString::fromStdString(target), at_most),
              download_error_size);
    at_most.max_bytes = 100;
    EXPECT_EQ(DownloadFile(QString::fromStdString(server.url("/big")),
                           QString::fromStdString(target), at_most),
              0u);
    EXPECT_EQ(traytest::read_text(target), std::string(100, 'b'));
}
