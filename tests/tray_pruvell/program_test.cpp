// build/Pruvell as a process: one copy per user (atomic, and not blocked by
// a killed copy), the files it writes at start, the language it picks, the
// settings it reads, and what it does when it ends.
#include <gtest/gtest.h>

#include <QString>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "IniFiles.h"
#include "ProjectBase.h"
#include "ResStrs.h"
#include "cardsim_harness.h"
#include "cert_maker.h"
#include "cert_store.h"
#include "registry.h"
#include "test_env.h"
#include "test_process.h"
#include "wait_until.h"
#include "window_message.h"

extern char** environ;

using namespace std::chrono_literals;
using traytest::read_text;
using traytest::user_dirs;
using traytest::write_text;

namespace {

template <typename F> bool wait_until(F done, std::chrono::milliseconds timeout = 20s) {
    return test_support::wait_until(done, timeout);
}

bool tray_window_up() {
    return static_cast<bool>(plat::find_window("Tavrel_v1.0_TrayIcon"));
}

std::string registry_string(const char* name) {
    std::string v;
    return plat::registry_get_string("Software\\Tavrel1.0", name, v) == plat::registry_status::ok
               ? v
               : "<none>";
}

uint32_t registry_dword(const char* name) {
    uint32_t v = 0xFFFFFFFF;
    (void)plat::registry_get_dword("Software\\Tavrel1.0", name, v);
    return v;
}

class Program : public ::testing::Test {
  protected:
    void SetUp() override {
        // No simulated card of another test process may sit in a reader
        // while the program looks for tokens.
        ASSERT_TRUE(cardsim::test::hold_pcscd_test_lock());
        program_ = dirs_.root() + "/program/";
        std::filesystem::create_directories(program_);
        std::filesystem::copy_file(PRUVELL_PATH, program_ + "Pruvell");
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("TAVREL_MESSAGE_LOG", (dirs_.root() + "/messages").c_str(), 1);
        setenv("TESSVIK_LOCK_DIR", (dirs_.root() + "/locks").c_str(), 1);
    }
    void TearDown() override {
        for (pid_t pid : running_) {
            ::kill(pid, SIGKILL);
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
        unsetenv("TAVREL_MESSAGE_LOG");
    }

    pid_t start(const std::string& log_name = "stderr") {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = dirs_.root() + "/" + log_name;
        posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0600);
        std::string path = program_ + "Pruvell";
        char* argv[] = {path.data(), nullptr};
        pid_t pid = 0;
        const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) return -1;
        running_.push_back(pid);
        return pid;
    }
    // The exit status once the process ended (-1: still running at the time-out).
    int wait_exit(pid_t pid, std::chrono::milliseconds timeout = 20s) {
        int status = 0;
        if (!test_support::wait_for_exit(pid, timeout, &status)) return -1;
        std::erase(running_, pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int stop(pid_t pid) {
        ::kill(pid, SIGTERM);
        return wait_exit(pid);
    }

    user_dirs dirs_;
    std::string program_;
    std::vector<pid_t> running_;
};

} // namespace

TEST_F(Program, a_second_copy_ends_at_once_and_changes_nothing) {
    const pid_t first = start();
    ASSERT_GT(first, 0);
    ASSERT_TRUE(wait_until(tray_window_up)) << read_text(dirs_.root() + "/stderr");
    const std::string en = dirs_.data() + "EN_1033.lng";
    struct stat before {};
    ASSERT_EQ(::stat(en.c_str(), &before), 0);
    const std::string registry = read_text(plat::registry_file_path());

    const pid_t second = start("stderr2");
    EXPECT_EQ(wait_exit(second, 10s), 0);
    struct stat after {};
    ASSERT_EQ(::stat(en.c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the language file was written again";
    EXPECT_EQ(read_text(plat::registry_file_path()), registry);
    EXPECT_EQ(read_text(dirs_.root() + "/stderr2"), "");
    EXPECT_FALSE(std::filesystem::exists(dirs_.root() + "/messages"))
        << "no message box, but: " << read_text(dirs_.root() + "/messages");
    EXPECT_EQ(::kill(first, 0), 0) << "the first copy still runs";
    EXPECT_EQ(stop(first), 0);
}

TEST_F(Program, a_killed_copy_does_not_keep_the_next_from_starting) {
    const pid_t first = start();
    ASSERT_TRUE(wait_until(tray_window_up));
    ::kill(first, SIGKILL);
    EXPECT_EQ(wait_exit(first), 128 + SIGKILL);
    const pid_t next = start();
    ASSERT_TRUE(wait_until(tray_window_up)) << read_text(dirs_.root() + "/stderr");
    EXPECT_EQ(::kill(next, 0), 0);
    EXPECT_EQ(stop(next), 0);
}

TEST_F(Program, of_copies_started_together_exactly_one_runs) {
    std::vector<pid_t> pids;
    for (int i = 0; i < 4; ++i)
        pids.push_back(start("stderr" + std::to_string(i)));
    ASSERT_TRUE(wait_until(tray_window_up));
    // Three end by themselves (status 0); the one left is the running copy.
    std::vector<pid_t> alive = pids;
    int ended = 0;
    ASSERT_TRUE(wait_until([&] {
        for (auto it = alive.begin(); it != alive.end();) {
            int status = 0;
            if (::waitpid(*it, &status, WNOHANG) == *it) {
                ended += WIFEXITED(status) && WEXITSTATUS(status) == 0;
                std::erase(running_, *it);
                it = alive.erase(it);
            } else {
                ++it;
            }
        }
        return alive.size() <= 1;
    }));
    ASSERT_EQ(alive.size(), 1u);
    const pid_t survivor = alive[0];
    EXPECT_EQ(ended, 3);
    EXPECT_TRUE(tray_window_up());
    EXPECT_EQ(stop(survivor), 0);
}

TEST_F(Program, start_up_writes_the_language_files_seeds_the_settings_and_picks_the_language) {
    write_text(program_ + "English.ini", "[Current]\r\nkey=VIETNAMESE\r\n");
    write_text(program_ + "MgrConfig.ini", "[APPConfig]\r\nPINCache=0\r\nCertDay=14\r\n");
    pid_t pid = start();
    ASSERT_TRUE(wait_until(tray_window_up)) << read_text(dirs_.root() + "/stderr");
    EXPECT_EQ(read_text(dirs_.data() + "EN_1033.lng"),
              pruvell::LanguageFileBytes(pruvell::TLanguage::english).toStdString());
    EXPECT_EQ(read_text(dirs_.data() + "VN_1066.lng"),
              pruvell::LanguageFileBytes(pruvell::TLanguage::vietnamese).toStdString());
    EXPECT_EQ(read_text(dirs_.data() + "MgrConfig.ini"), read_text(program_ + "MgrConfig.ini"));
    EXPECT_EQ(registry_string("velkora_v1.0_csp"), "tavrel_v1.0_csp.vn.dll");
    EXPECT_EQ(registry_dword("CrossProcess"), 0u) << "PINCache of the settings";
    EXPECT_EQ(stop(pid), 0);

    // The user's settings survive a restart; the shipped copy never replaces them.
    pruvell::TConfigInfo config;
    ASSERT_EQ(pruvell::ReadConfig(QString::fromStdString(dirs_.data() + "MgrConfig.ini"), config),
              0);
    config.PINCache = 1;
    ASSERT_EQ(pruvell::WriteConfig(QString::fromStdString(dirs_.data() + "MgrConfig.ini"), config),
              0);
    std::filesystem::remove(program_ + "English.ini");
    pid = start();
    ASSERT_TRUE(wait_until(tray_window_up));
    EXPECT_EQ(registry_dword("CrossProcess"), 1u);
    EXPECT_EQ(registry_string("velkora_v1.0_csp"), "tavrel_v1.0_csp.en.dll") << "no English.ini";
    pruvell::TConfigInfo again;
    ASSERT_EQ(pruvell::ReadConfig(QString::fromStdString(dirs_.data() + "MgrConfig.ini"), again),
              0);
    EXPECT_EQ(again.PINCache, 1);
    EXPECT_EQ(again.CertDay, 14);
    EXPECT_EQ(stop(pid), 0);

    // A user who deleted the data directory gets it back, with fresh copies.
    std::filesystem::remove_all(dirs_.root() + "/appdata/Tavrel/Tavrel1.0");
    pid = start();
    ASSERT_TRUE(wait_until(tray_window_up));
    EXPECT_TRUE(std::filesystem::exists(dirs_.data() + "EN_1033.lng"));
    EXPECT_TRUE(std::filesystem::exists(dirs_.data() + "VN_1066.lng"));
    EXPECT_EQ(read_text(dirs_.data() + "MgrConfig.ini"), read_text(program_ + "MgrConfig.ini"));
    EXPECT_EQ(registry_dword("CrossProcess"), 0u);
    EXPECT_EQ(stop(pid), 0);
}

TEST_F(Program, a_damaged_settings_file_gives_the_defaults_and_a_clear_message) {
    std::filesystem::create_directories(dirs_.data());
    write_text(dirs_.data() + "MgrConfig.ini", std::string("\x7F"
                                                           "ELF\x02\x01\0\0\0\0PINCache=0",
                                                           20));
    const pid_t pid = start();
    ASSERT_TRUE(wait_until(tray_window_up)) << read_text(dirs_.root() + "/stderr");
    EXPECT_EQ(registry_dword("CrossProcess"), 1u) << "the default PINCache";
    EXPECT_NE(read_text(dirs_.root() + "/stderr")
                  .find("is damaged (it is not text); the default "
                        "settings are used"),
              std::string::npos)
        << read_text(dirs_.root() + "/stderr");
    EXPECT_EQ(stop(pid), 0);
}

TEST_F(Program, ending_removes_the_providers_certificates_and_closes_the_manager) {
    // The outside manager program's window, recording what it is sent.
    std::mutex m;
    std::condition_variable cv;
    std::vector<plat::copydata> received;
    auto manager = plat::message_window::create("Tavrel_v1.0_Mgr", [&](const plat::copydata& c) {
        std::lock_guard lock(m);
        received.push_back(c);
        cv.notify_all();
    });
    ASSERT_NE(manager, nullptr);
    EVP_PKEY* key = traytest::rsa_key();
    traytest::cert_spec spec;
    spec.key = key;
    spec.subject_cn = "ours";
    const auto ours = traytest::make_cert(spec);
    spec.subject_cn = "theirs";
    const auto theirs = traytest::make_cert(spec);
    EVP_PKEY_free(key);
    const plat::cert_properties our_link{"Tavrel CSP V1.0", "c1", 2};
    const plat::cert_properties their_link{"Another CSP", "c9", 1};
    ASSERT_EQ(plat::cert_store_add("MY", ours, &our_link), plat::store_result::ok);
    ASSERT_EQ(plat::cert_store_add("MY", theirs, &their_link), plat::store_result::ok);

    const pid_t pid = start();
    ASSERT_TRUE(wait_until(tray_window_up)) << read_text(dirs_.root() + "/stderr");
    EXPECT_EQ(stop(pid), 0);
    EXPECT_FALSE(std::filesystem::exists(dirs_.root() + "/messages"))
        << "the token library started: " << read_text(dirs_.root() + "/messages");
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return !received.empty(); }));
        ASSERT_EQ(received.size(), 1u);
        const std::vector<uint8_t> close{'C', 0, 'L', 0, 'O', 0, 'S', 0, 'E', 0, 0, 0};
        EXPECT_EQ(received[0].bytes, close);
        EXPECT_EQ(received[0].dw_data, 0u);
    }
    std::vector<plat::cert_entry> left;
    ASSERT_EQ(plat::cert_store_list("MY", left), plat::store_result::ok);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].der, theirs);
    EXPECT_FALSE(tray_window_up());
}
