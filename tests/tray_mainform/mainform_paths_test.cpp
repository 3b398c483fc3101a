// The main form's timer and message paths without a display: a table of
// fake tokens behind the Drumvale calls, the recording notification area,
// an injected USB source and an injected session source. Timers have long
// intervals here and are ticked by the tests, so nothing depends on timing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDate>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "DownloadURL.h"
#include "HvButton.h"
#include "HvEdit.h"
#include "MainFormHooks.h"
#include "Mainfrm.h"
#include "MessageBoxes.h"
#include "ProjectConfigfrm.h"
#include "ResStrs.h"
#include "SimpleTimer.h"
#include "TrayIcon.h"
#include "USBPIDUnit.h"
#include "Wtsapi.h"
#include "cert_maker.h"
#include "dialog_test_support.h"
#include "http_server.h"
#include "test_env.h"
#include "upinsetfrm.h"
#include "window_message.h"

using namespace pruvell;
using traytest::bytes;

namespace {

// ------------------------------------------------------------ fake Drumvale

struct FakeContainer {
    std::string name;
    std::map<uint32_t, bytes> certs;    // key spec -> DER
    std::map<uint32_t, uint32_t> addRc; // key spec -> container_addcert_to_store result
};

struct FakeToken {
    std::string label = "token";
    uint32_t connectRc = 0;
    uint32_t infoRc = 0;
    uint32_t initialised = 1;
    uint32_t locked = 0, isDefault = 0;
    std::string pin = "12345678";
    std::vector<FakeContainer> containers;
};

struct Added {
    std::string store, container, provider;
    uint32_t keySpec;
    bytes der;
};

struct Fake {
    uint32_t initRc = 0;
    std::vector<FakeToken> tokens;
    int finds = 0, connects = 0, reloads = 0, removeAlls = 0, uninits = 0;
    std::vector<Added> added;
} g;

uint32_t f_init(const char*) {
    return g.initRc;
}
uint32_t f_init_ex(const char*, const char*, const char*, const char*) {
    return g.initRc;
}
uint32_t f_uninit() {
    ++g.uninits;
    return 0;
}
uint32_t f_find(uint32_t* ids, uint32_t* count) {
    ++g.finds;
    const auto n = static_cast<uint32_t>(g.tokens.size());
    const uint32_t room = *count;
    *count = n;
    for (uint32_t i = 0; i < n && i < room; ++i)
        ids[i] = 10 + i;
    return n > room ? DRUMVALE_E_BUFFER_TOO_SMALL : 0;
}
FakeToken* token(uint32_t i) {
    return i < g.tokens.size() ? &g.tokens[i] : nullptr;
}
uint32_t f_connect(uint32_t i) {
    ++g.connects;
    return token(i) ? token(i)->connectRc : DRUMVALE_E_BAD_INDEX;
}
uint32_t f_info(uint32_t i, char* label, char*, char*, char*, uint32_t* maxPin, uint32_t* minPin,
                uint32_t*, uint32_t*, uint32_t*, uint32_t*, uint32_t*, uint32_t*,
                uint32_t* initialised) {
    FakeToken* t = token(i);
    if (!t) return DRUMVALE_E_BAD_INDEX;
    if (t->infoRc) return t->infoRc;
    std::snprintf(label, 33, "%s", t->label.c_str());
    *maxPin = 16;
    *minPin = 8;
    *initialised = t->initialised;
    return 0;
}
uint32_t f_pin_state(uint32_t i, uint32_t, uint32_t*, uint32_t*, uint32_t*, uint32_t*,
                     uint32_t* locked, uint32_t* isDefault) {
    FakeToken* t = token(i);
    if (!t) return DRUMVALE_E_BAD_INDEX;
    *locked = t->locked;
    *isDefault = t->isDefault;
    return 0;
}
uint32_t f_login(uint32_t i, const char* pin, uint32_t* retries) {
    FakeToken* t = token(i);
    if (!t) return DRUMVALE_E_BAD_INDEX;
    *retries = 5;
    return pin == t->pin ? 0 : 0xA0; // CKR_PIN_INCORRECT
}
uint32_t f_logout(uint32_t) {
    return 0;
}
uint32_t f_change_upin(uint32_t i, const char* oldPin, const char* newPin) {
    FakeToken* t = token(i);
    if (!t || oldPin != t->pin) return 0xA0;
    t->pin = newPin;
    t->isDefault = 0;
    return 0;
}
uint32_t f_reload(uint32_t i) {
    ++g.reloads;
    return token(i) ? 0 : DRUMVALE_E_BAD_INDEX;
}
uint32_t f_load_all(uint32_t i, char* buffer, uint32_t* length) {
    FakeToken* t = token(i);
    if (!t) return DRUMVALE_E_BAD_INDEX;
    if (t->connectRc) return t->connectRc; // no session: the connect's failure again
    std::string all;
    for (const auto& c : t->containers)
        all += c.name + '\0';
    if (all.size() > *length) return DRUMVALE_E_BUFFER_TOO_SMALL;
    std::memcpy(buffer, all.data(), all.size());
    *length = static_cast<uint32_t>(all.size());
    return 0;
}
const FakeContainer* container(uint32_t i, const char* name) {
    FakeToken* t = token(i);
    if (!t) return nullptr;
    for (const auto& c : t->containers)
        if (c.name == name) return &c;
    return nullptr;
}
uint32_t f_get_cert(uint32_t i, const char* name, uint32_t spec, uint8_t* buffer,
                    uint32_t* length) {
    const FakeContainer* c = container(i, name);
    if (!c || !c->certs.count(spec)) return DRUMVALE_E_NOT_FOUND;
    const bytes& der = c->certs.at(spec);
    if (der.size() > *length) return DRUMVALE_E_BUFFER_TOO_SMALL;
    std::memcpy(buffer, der.data(), der.size());
    *length = static_cast<uint32_t>(der.size());
    return 0;
}
uint32_t f_get_pubkey(uint32_t, const char*, uint32_t, uint32_t* alg, uint32_t* bits, uint8_t*,
                      uint32_t* len) {
    *alg = 1;
    *bits = 1024;
    *len = 0;
    return 0;
}
uint32_t f_addcert(const char* name, const char* provider, uint32_t spec, const uint8_t* der,
                   uint32_t length) {
    for (const auto& t : g.tokens)
        for (const auto& c : t.containers)
            if (c.name == name && c.addRc.count(spec) && c.addRc.at(spec) != 0)
                return c.addRc.at(spec);
    g.added.push_back({"MY", name, provider, spec, bytes(der, der + length)});
    return 0;
}
uint32_t f_remove_all(const char*) {
    ++g.removeAlls;
    std::erase_if(g.added, [](const Added& a) { return a.store == "MY"; });
    return 0;
}
uint32_t f_add_root(const uint16_t* store, const uint8_t* der, uint32_t length) {
    std::string name;
    for (; *store; ++store)
        name += static_cast<char>(*store);
    g.added.push_back({name, "", "", 0, bytes(der, der + length)});
    return 0;
}

TDrumvaleCalls FakeCalls() {
    TDrumvaleCalls c;
    c.init_pkcs11 = f_init;
    c.init_pkcs11_ex = f_init_ex;
    c.uninit_pkcs11 = f_uninit;
    c.token_find = f_find;
    c.token_connect = f_connect;
    c.token_get_info = f_info;
    c.token_get_pin_state = f_pin_state;
    c.token_login = f_login;
    c.token_logout = f_logout;
    c.token_change_upin = f_change_upin;
    c.token_reload_all_objects = f_reload;
    c.container_load_all = f_load_all;
    c.container_get_cert = f_get_cert;
    c.container_get_pubkey = f_get_pubkey;
    c.container_addcert_to_store = f_addcert;
    c.remove_all_certs_from_store = f_remove_all;
    c.helper_add_root_cert_to_store = f_add_root;
    return c;
}

// ------------------------------------------------------------ certificates

struct Certs {
    bytes endEntity, root, ca, soon;
    Certs() {
        EVP_PKEY* key = traytest::rsa_key(1024);
        traytest::cert_spec s;
        s.key = key;
        s.subject_cn = "Root";
        s.basic_constraints = 1;
        root = traytest::make_cert(s);
        EVP_PKEY* other = traytest::rsa_key(1024);
        s.subject_cn = "Issuing CA";
        s.issuer_cn = "Root";
        s.key = other;
        s.issuer_key = key;
        ca = traytest::make_cert(s);
        s.subject_cn = "Alice";
        s.issuer_cn = "Issuing CA";
        s.basic_constraints = 0;
        endEntity = traytest::make_cert(s);
        s.subject_cn = "Bob";
        s.not_after_days = 10;
        soon = traytest::make_cert(s);
        EVP_PKEY_free(key);
        EVP_PKEY_free(other);
    }
};
const Certs& certs() {
    static Certs c;
    return c;
}

FakeToken TokenWith(const std::string& label, const std::string& containerName) {
    FakeToken t;
    t.label = label;
    FakeContainer c;
    c.name = containerName;
    c.certs[2] = certs().endEntity;
    t.containers.push_back(c);
    return t;
}

// ------------------------------------------------------------ fixture

class MainFormPaths : public ::testing::Test {
  protected:
    void SetUp() override {
        g = Fake{};
        MainFormHooks() = TMainFormHooks{};
        SetUpdateCancelled(false);
        messages_ = dirs_.root() + "/messages";
        setenv("TAVREL_MESSAGE_LOG", messages_.c_str(), 1);
        ResetTexts();
        const std::string lang = dirs_.root() + "/en.lng";
        traytest::write_text(lang, LanguageFileBytes(TLanguage::english).toStdString());
        ASSERT_EQ(LoadLanguageFile(QString::fromStdString(lang)), TLanguageLoad::loaded);
        tray_ = std::make_shared<TRecordingNotifyArea::Log>();
        TTrayIconHandler::SetNotifyAreaFactory(
            [log = tray_] { return std::make_unique<TRecordingNotifyArea>(log); });
        SetSessionSourceFactory([this] {
            auto s = std::make_unique<TInjectedSessionSource>();
            session_ = s.get();
            return s;
        });
    }
    void TearDown() override {
        form_.reset();
        SetUpdateCancelled(false);
        TTrayIconHandler::SetNotifyAreaFactory({});
        SetSessionSourceFactory({});
        unsetenv("TAVREL_MESSAGE_LOG");
        ResetTexts();
    }

    void settings(const std::string& ini) {
        std::filesystem::create_directories(dirs_.data());
        traytest::write_text(dirs_.data() + "MgrConfig.ini", "[APPConfig]\r\n" + ini);
    }

    TMainForm& start() {
        TMainFormOptions o;
        TMainFormTimings& t = o.Timings;
        // Ticks are driven by the tests; only the arrival pauses run by themselves.
        t.FindUSBKey = t.USBRemove = t.CheckDefaultUPIN = t.CloseProject = t.CheckInit =
            t.RegCertXE = t.AppUpdate = 600000;
        t.ArrivalPause = t.ArrivalSecondPause = 1;
        t.ArrivalRetries = 4;
        o.Drumvale = FakeCalls();
        o.UsbSource = [this] {
            auto s = std::make_unique<TInjectedUsbSource>();
            usb_ = s.get();
            return s;
        };
        form_ = std::make_unique<TMainForm>(o);
        return *form_;
    }
    TTimer& timer(const char* name) {
        TTimer* t = form_->Timer(name);
        EXPECT_NE(t, nullptr) << name;
        return *t;
    }
    bool iconShown() const { return tray_->present.count(form_->TrayIcon1()->IconId()) != 0; }
    // The balloons shown so far: text, icon flags, timeout, title.
    std::vector<TNotifyIconData> balloons() const {
        std::vector<TNotifyIconData> b;
        for (const auto& c : tray_->calls)
            if (c.message == NIM_MODIFY && (c.data.uFlags & NIF_INFO) && !c.data.szInfo.isEmpty())
                b.push_back(c.data);
        return b;
    }
    std::string messages() const { return traytest::read_text(messages_); }
    size_t addedTo(const std::string& store) const {
        return static_cast<size_t>(std::count_if(g.added.begin(), g.added.end(),
                                                 [&](const Added& a) { return a.store == store; }));
    }
    QString token_name(uint16_t pid) { return UsbDeviceInterfaceName(0x1A86, pid, "1-1"); }

    traytest::user_dirs dirs_;
    std::string messages_;
    std::shared_ptr<TRecordingNotifyArea::Log> tray_;
    TInjectedUsbSource* usb_ = nullptr;
    TInjectedSessionSource* session_ = nullptr;
    std::unique_ptr<TMainForm> form_;
};

} // namespace

TEST_F(MainFormPaths, start_up_registers_every_token_and_reports_each_failing_one_with_its_code) {
    FakeToken first = TokenWith("first", "c1");
    FakeContainer chain;
    chain.name = "chain";
    chain.certs[1] = certs().root;
    chain.certs[2] = certs().ca;
    first.containers.push_back(chain);
    FakeToken second = TokenWith("second", "c2");
    second.containers[0].certs[1] = certs().endEntity;
    second.containers[0].addRc[1] = 0x30; // CKR_DEVICE_ERROR, exchange key
    FakeToken third = TokenWith("third", "c3");
    third.containers[0].addRc[2] = 0xA0; // CKR_PIN_INCORRECT, signature key
    g.tokens = {first, second, third};

    TMainForm& form = start();
    ASSERT_TRUE(form.TokenLibraryReady());
    EXPECT_EQ(form.TokenCount(), 3);
    EXPECT_TRUE(iconShown());
    EXPECT_EQ(g.reloads, 3);
    // The first token's end-entity certificate is linked to the provider;
    // the self-signed root and the other CA go to their stores.
    ASSERT_EQ(addedTo("MY"), 1u);
    EXPECT_EQ(g.added[0].container, "c1");
    EXPECT_EQ(g.added[0].provider, "Tavrel CSP V1.0");
    EXPECT_EQ(g.added[0].keySpec, 2u);
    EXPECT_EQ(addedTo("ROOT"), 1u);
    EXPECT_EQ(addedTo("CA"), 1u);
    // Both failing tokens are reported, each with its code: Drumvale's code
    // plus 10000 (exchange key) or 20000 (signature key).
    EXPECT_EQ(messages(), "information\tInformation\t注册证书失败，错误码 = 10048\n"
                          "information\tInformation\t注册证书失败，错误码 = 20160\n");
    EXPECT_TRUE(timer("TAppUpdate").Enabled());
    for (const char* name :
         {"TFindUSBKey", "TUSBRemove", "TCheckDefaultUPIN", "TCloseProject", "TCheckInit",
          "TRegCert", "TUnRegCert", "TRegCertXE", "TimerHideMainForm"})
        EXPECT_FALSE(timer(name).Enabled()) << name;
}

TEST_F(MainFormPaths, every_token_is_connected_and_the_last_connect_decides_the_scan) {
    const struct {
        const char* name;
        bool arrival; // found by the poll after a USB arrival, else at start
        uint32_t connect1, connect2;
        const char* registered; // the containers whose certificate is in "MY"
        const char* message;
        bool iconShown;
    } cases[] = {
        // The token that did not connect lists no containers.
        {"the first fails at start", false, 0x30, 0, "c2", "注册证书失败，错误码 = 48", true},
        {"the first fails after an arrival", true, 0x30, 0, "c2", "注册证书失败，错误码 =48", true},
        // The last connect is the scan's result: it fails, and the tokens
        // found are registered all the same.
        {"the last fails at start", false, 0, 0x30, "c1", "注册证书失败，错误码 = 48", false},
    };
    for (const auto& c : cases) {
        g = Fake{};
        std::filesystem::remove(messages_);
        FakeToken first = TokenWith("first", "c1"), second = TokenWith("second", "c2");
        first.connectRc = c.connect1;
        second.connectRc = c.connect2;
        if (!c.arrival) g.tokens = {first, second};
        TMainForm& form = start();
        if (c.arrival) {
            g.tokens = {first, second};
            usb_->Arrive(token_name(0x0223));
            QTRY_VERIFY_WITH_TIMEOUT(timer("TFindUSBKey").Enabled(), 5000);
            timer("TFindUSBKey").Tick();
            EXPECT_FALSE(timer("TFindUSBKey").Enabled()) << c.name;
        }
        EXPECT_EQ(g.connects, 2) << c.name;
        EXPECT_EQ(form.TokenCount(), 2) << c.name;
        std::string registered;
        for (const Added& a : g.added)
            if (a.store == "MY") registered += a.container;
        EXPECT_EQ(registered, c.registered) << c.name;
        EXPECT_EQ(messages(), std::string("information\tInformation\t") + c.message + "\n")
            << c.name;
        EXPECT_EQ(iconShown(), c.iconShown) << c.name;
        form_.reset();
    }
}

TEST_F(MainFormPaths, a_token_library_that_does_not_start_ends_the_program_after_its_message) {
    g.initRc = DRUMVALE_E_MODULE_LOAD;
    TMainForm& form = start();
    EXPECT_FALSE(form.TokenLibraryReady());
    ASSERT_TRUE(timer("TCloseProject").Enabled());
    // USB events are ignored while the library is not ready.
    usb_->Arrive(token_name(0x0223));
    QTest::qWait(20);
    EXPECT_FALSE(timer("TFindUSBKey").Enabled());
    timer("TCloseProject").Tick();
    EXPECT_FALSE(timer("TCloseProject").Enabled());
    EXPECT_TRUE(form.ExitRequested());
    EXPECT_EQ(messages(), "question\tInformation\tpkcs11 initialization failed\n");
}

TEST_F(MainFormPaths, an_arrival_polls_until_the_token_answers_then_registers_and_checks_it) {
    settings("CertTips=1\r\nCertDay=30\r\nDefaultPINMode=1\r\n");
    TMainForm& form = start();
    EXPECT_EQ(form.TokenCount(), 0);
    EXPECT_FALSE(iconShown());

    // Another USB device: no poll.
    usb_->Arrive(token_name(0x1234));
    QTest::qWait(20);
    EXPECT_FALSE(timer("TFindUSBKey").Enabled());

    usb_->Arrive(token_name(0x0223));
    QTRY_VERIFY_WITH_TIMEOUT(timer("TFindUSBKey").Enabled(), 5000);
    EXPECT_EQ(form.FindRetryCounter(), 4);
    timer("TFindUSBKey").Tick(); // no token yet: keep polling
    EXPECT_TRUE(timer("TFindUSBKey").Enabled());

    FakeToken t = TokenWith("mine", "c1");
    t.containers[0].certs[1] = certs().soon;
    t.isDefault = 1;
    t.initialised = 0;
    g.tokens = {t};
    timer("TFindUSBKey").Tick();
    EXPECT_FALSE(timer("TFindUSBKey").Enabled());
    EXPECT_EQ(form.TokenCount(), 1);
    EXPECT_TRUE(iconShown());
    ASSERT_EQ(balloons().size(), 1u);
    EXPECT_EQ(balloons()[0].szInfo, "Token is connected");
    EXPECT_EQ(balloons()[0].dwInfoFlags, NIIF_INFO);
    EXPECT_EQ(balloons()[0].uTimeout, 10000u);
    EXPECT_EQ(balloons()[0].szInfoTitle, "");
    EXPECT_EQ(addedTo("MY"), 2u);
    // The expiring certificate is warned about, once.
    const QString soon = QDate::currentDate().addDays(10).toString(QStringLiteral("yyyy-MM-dd"));
    EXPECT_EQ(messages(), "information\tInformation\tBob(" + soon.toStdString() + " Expired)\n");

    // An uninitialised token: one balloon with the tray icon.
    ASSERT_TRUE(timer("TCheckInit").Enabled());
    timer("TCheckInit").Tick();
    ASSERT_EQ(balloons().size(), 2u);
    EXPECT_EQ(balloons()[1].szInfo,
              "The device is not initialized, please contact the administrator");
    EXPECT_EQ(balloons()[1].dwInfoFlags, NIIF_USER);

    // One token: the PIN dialog asks to change its default user PIN.
    ASSERT_TRUE(timer("TCheckDefaultUPIN").Enabled());
    dialogtest::modal_script script;
    QString prompt;
    script.then([&](QWidget* w) {
        auto* form = qobject_cast<TUPinSetForm*>(w);
        ASSERT_NE(form, nullptr);
        prompt = form->lmsg->text();
        QTest::mouseClick(form->btn2, Qt::LeftButton); // No
    });
    timer("TCheckDefaultUPIN").Tick();
    EXPECT_FALSE(timer("TCheckDefaultUPIN").Enabled());
    EXPECT_EQ(prompt, "The default user PIN is used, please modify it.");

    // The same count after the next arrival (a token swapped for another):
    // nothing registered again, no balloon.
    const size_t before = tray_->calls.size();
    const int reloads = g.reloads;
    usb_->Arrive(token_name(0x0229));
    QTRY_VERIFY_WITH_TIMEOUT(timer("TFindUSBKey").Enabled(), 5000);
    timer("TFindUSBKey").Tick();
    EXPECT_FALSE(timer("TFindUSBKey").Enabled());
    EXPECT_EQ(g.reloads, reloads);
    EXPECT_EQ(balloons().size(), 2u);
    EXPECT_GE(tray_->calls.size(), before);
}

TEST_F(MainFormPaths, polling_after_an_arrival_ends_when_its_ticks_run_out) {
    TMainForm& form = start();
    usb_->Arrive(token_name(0x0165));
    QTRY_VERIFY_WITH_TIMEOUT(timer("TFindUSBKey").Enabled(), 5000);
    const int finds = g.finds;
    for (int i = 0; i < 3; ++i) {
        timer("TFindUSBKey").Tick();
        EXPECT_TRUE(timer("TFindUSBKey").Enabled()) << i;
    }
    timer("TFindUSBKey").Tick(); // the last tick: no scan, the poll stops
    EXPECT_FALSE(timer("TFindUSBKey").Enabled());
    EXPECT_EQ(g.finds, finds + 3);
    EXPECT_EQ(form.TokenCount(), 0);
}

TEST_F(MainFormPaths, the_default_pin_check_follows_the_setting_and_the_lock_and_can_be_replaced) {
    struct Case {
        const char* setting;
        uint32_t locked, isDefault;
        bool prompt; // the PIN dialog asks to change the default PIN
        const char* message;
    } cases[] = {
        {"DefaultPINMode=1", 0, 1, true, nullptr},
        {"DefaultPINMode=1", 1, 1, false, "Token is locked. Please contact Tavrel to help."},
        {"DefaultPINMode=1", 0, 0, false, nullptr},
        {"DefaultPINMode=0", 0, 1, false, nullptr},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(messages_);
        settings(std::string(c.setting) + "\r\n");
        FakeToken t = TokenWith("t", "c");
        t.locked = c.locked;
        t.isDefault = c.isDefault;
        g.tokens = {t};
        start();
        dialogtest::modal_script script;
        int prompts = 0;
        script.then([&](QWidget* w) {
            auto* form = qobject_cast<TUPinSetForm*>(w);
            ASSERT_NE(form, nullptr);
            prompts += form->Mode() == TUPinSetForm::prompt_mode;
            QTest::mouseClick(form->btn2, Qt::LeftButton); // No
        });
        timer("TCheckDefaultUPIN").Tick();
        EXPECT_EQ(prompts, c.prompt ? 1 : 0)
            << c.setting << " locked " << c.locked << " default " << c.isDefault;
        EXPECT_EQ(messages(), c.message
                                  ? std::string("information\tInformation\t") + c.message + "\n"
                                  : std::string())
            << c.setting << " locked " << c.locked << " default " << c.isDefault;
        form_.reset();
    }
    // A hook takes the place of the PIN unit.
    int calls = 0;
    MainFormHooks().CheckDefaultPin = [&](TMainForm& f) {
        ++calls;
        EXPECT_EQ(f.CurrentTokenIndex(), 0);
    };
    std::filesystem::remove(messages_);
    start();
    timer("TCheckDefaultUPIN").Tick();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(messages(), "");
}

TEST_F(MainFormPaths, a_removal_unregisters_and_closes_only_our_own_question) {
    g.tokens = {TokenWith("one", "c1")};
    TMainForm& form = start();
    ASSERT_EQ(addedTo("MY"), 1u);

    // Another product, or all tokens still answering: nothing happens.
    usb_->Remove(token_name(0x4321));
    g.tokens[0].infoRc = 0;
    usb_->Remove(token_name(0x0224));
    EXPECT_EQ(g.removeAlls, 0);
    EXPECT_FALSE(timer("TUSBRemove").Enabled());

    // Shown for real now: a question of ours, and another window with the
    // same title that is not ours.
    unsetenv("TAVREL_MESSAGE_LOG");
    QMessageBox foreign(QMessageBox::Information, QStringLiteral("Information"),
                        QStringLiteral("another program"), QMessageBox::Ok);
    foreign.show();
    bool answered = false, answer = true;
    QTimer::singleShot(0, [&] {
        (void)QTest::qWaitFor([] { return OpenQuestionCount() == 1; }, 5000);
        g.tokens.clear(); // the token left
        usb_->Remove(token_name(0x0224));
    });
    answer = AskQuestion(nullptr, QStringLiteral("A new version is detected"));
    answered = true;
    setenv("TAVREL_MESSAGE_LOG", messages_.c_str(), 1);
    EXPECT_TRUE(answered);
    EXPECT_FALSE(answer) << "answered No";
    EXPECT_TRUE(foreign.isVisible()) << "not our window";
    EXPECT_EQ(g.removeAlls, 1);
    EXPECT_EQ(addedTo("MY"), 0u);
    EXPECT_EQ(form.TokenCount(), 0);
    ASSERT_FALSE(balloons().empty());
    EXPECT_EQ(balloons().back().szInfo, "The Token has been removed!");
    EXPECT_EQ(balloons().back().dwInfoFlags, NIIF_INFO);
    EXPECT_TRUE(iconShown()) << "until TUSBRemove ticks";
    ASSERT_TRUE(timer("TUSBRemove").Enabled());
    timer("TUSBRemove").Tick();
    EXPECT_FALSE(iconShown());

    // No token known: a removal does nothing.
    const int removeAlls = g.removeAlls;
    usb_->Remove(token_name(0x0224));
    EXPECT_EQ(g.removeAlls, removeAlls);
}

TEST_F(MainFormPaths, regcert_in_any_case_reregisters_and_tells_the_manager) {
    std::mutex m;
    std::condition_variable cv;
    std::vector<plat::copydata> received;
    auto manager = plat::message_window::create("Tavrel_v1.0_Mgr", [&](const plat::copydata& c) {
        std::lock_guard lock(m);
        received.push_back(c);
        cv.notify_all();
    });
    ASSERT_NE(manager, nullptr);
    g.tokens = {TokenWith("one", "c1")};
    TMainForm& form = start();
    ASSERT_EQ(addedTo("MY"), 1u);
    g.tokens[0].containers.push_back(g.tokens[0].containers[0]);
    g.tokens[0].containers[1].name = "c2";

    ASSERT_EQ(
        SendCopyDataCommand(QStringLiteral("REGCERT"), QString::fromLatin1(tray_window_class)),
        plat::send_result::delivered);
    QTRY_VERIFY_WITH_TIMEOUT(timer("TRegCertXE").Enabled(), 5000);
    EXPECT_EQ(form.LastCommand(), "REGCERT");
    timer("TRegCertXE").Tick();
    EXPECT_FALSE(timer("TRegCertXE").Enabled());
    EXPECT_EQ(g.removeAlls, 1);
    EXPECT_EQ(addedTo("MY"), 2u);
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return !received.empty(); }));
    const std::vector<uint8_t> loadCert{'L', 0,   'o', 0,   'a', 0,   'd', 0, 'C',
                                        0,   'e', 0,   'r', 0,   't', 0,   0, 0};
    EXPECT_EQ(received[0].bytes, loadCert);
    EXPECT_EQ(received[0].dw_data, 0u);
}

TEST_F(MainFormPaths, update_gives_up_the_update_and_answers_only_our_question) {
    TMainForm& form = start();
    ASSERT_TRUE(timer("TAppUpdate").Enabled());
    unsetenv("TAVREL_MESSAGE_LOG");
    QMessageBox foreign(QMessageBox::Question, QStringLiteral("Information"),
                        QStringLiteral("another program"), QMessageBox::Yes | QMessageBox::No);
    foreign.show();
    QTimer::singleShot(0, [&] {
        (void)QTest::qWaitFor([] { return OpenQuestionCount() == 1; }, 5000);
        form.HandleCopyDataCommand(QStringLiteral("update"));
    });
    const bool yes = AskQuestion(nullptr, QStringLiteral("A new version is detected"));
    setenv("TAVREL_MESSAGE_LOG", messages_.c_str(), 1);
    EXPECT_FALSE(yes);
    EXPECT_TRUE(foreign.isVisible());
    EXPECT_FALSE(timer("TAppUpdate").Enabled());
    EXPECT_TRUE(UpdateCancelled());
}

TEST_F(MainFormPaths, any_other_text_is_a_balloon_with_the_tray_icon) {
    g.tokens = {TokenWith("one", "c1")};
    start();
    ASSERT_EQ(SendCopyDataCommand(QStringLiteral("Zertifikat gespeichert"),
                                  QString::fromLatin1(tray_window_class)),
              plat::send_result::delivered);
    QTRY_VERIFY_WITH_TIMEOUT(!balloons().empty(), 5000);
    EXPECT_EQ(balloons().back().szInfo, "Zertifikat gespeichert");
    EXPECT_EQ(balloons().back().szInfoTitle, "");
    EXPECT_EQ(balloons().back().dwInfoFlags, NIIF_USER);
    EXPECT_EQ(balloons().back().uTimeout, 10000u);
}

TEST_F(MainFormPaths, a_session_unlock_rescans_a_lock_does_not) {
    TMainForm& form = start();
    ASSERT_TRUE(form.SessionNotificationRegistered());
    ASSERT_NE(session_, nullptr);
    g.tokens = {TokenWith("one", "c1")};
    const int finds = g.finds;
    session_->Change(WTS_SESSION_LOCK);
    QTest::qWait(20);
    EXPECT_EQ(g.finds, finds);
    EXPECT_EQ(form.TokenCount(), 0);
    session_->Change(WTS_SESSION_UNLOCK);
    QTRY_COMPARE_WITH_TIMEOUT(form.TokenCount(), 1, 5000);
    EXPECT_EQ(form.FindRetryCounter(), 4);
    EXPECT_EQ(addedTo("MY"), 1u);
}

TEST_F(MainFormPaths, a_token_whose_information_cannot_be_read_leaves_no_tokens) {
    FakeToken bad = TokenWith("bad", "c");
    bad.infoRc = 0x30;
    g.tokens = {TokenWith("good", "c1"), bad};
    TMainForm& form = start();
    EXPECT_EQ(form.TokenCount(), 0);
    EXPECT_EQ(addedTo("MY"), 0u);
    EXPECT_FALSE(iconShown());
}

TEST_F(MainFormPaths, closing_hides_the_form_unless_exit_or_the_session_ends) {
    TMainForm& form = start();
    form.AcAboutExecute();
    ASSERT_TRUE(form.isVisible());
    EXPECT_FALSE(timer("TimerHideMainForm").Enabled()) << "the about box stays";
    EXPECT_FALSE(form.close());
    EXPECT_FALSE(form.isVisible());
    // A show nobody asked for goes back to the tray at the next tick.
    form.show();
    ASSERT_TRUE(timer("TimerHideMainForm").Enabled());
    timer("TimerHideMainForm").Tick();
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(form.QueryEndSession());
    form.show();
    EXPECT_TRUE(form.close());
}

TEST_F(MainFormPaths, ending_removes_the_certificates_closes_the_manager_and_stops_the_library) {
    g.tokens = {TokenWith("one", "c1")};
    start();
    ASSERT_EQ(addedTo("MY"), 1u);
    form_.reset();
    EXPECT_EQ(addedTo("MY"), 0u);
    EXPECT_EQ(g.uninits, 1);
}

TEST_F(MainFormPaths, tray_and_timer_messages_with_ids_of_nothing_live_do_nothing) {
    g.tokens = {TokenWith("one", "c1")};
    TMainForm& form = start();
    int clicks = 0;
    form.TrayIcon1()->OnClick = [&](QObject*) { ++clicks; };
    TTrayIconHandler* tray = TTrayIconHandler::Instance();
    ASSERT_NE(tray, nullptr);
    const std::uint32_t id = form.TrayIcon1()->IconId();
    for (std::uintptr_t bogus :
         {std::uintptr_t{0}, std::uintptr_t{id + 1000}, reinterpret_cast<std::uintptr_t>(&form)}) {
        EXPECT_EQ(tray->TrayWindowProc(WM_TRAYNOTIFY, bogus, WM_LBUTTONDOWN), 0);
        EXPECT_EQ(tray->TrayWindowProc(WM_TRAYNOTIFY, bogus, WM_LBUTTONUP), 0);
    }
    EXPECT_EQ(clicks, 0);
    tray->TrayWindowProc(WM_TRAYNOTIFY, id, WM_LBUTTONDOWN);
    tray->TrayWindowProc(WM_TRAYNOTIFY, id, WM_LBUTTONUP);
    EXPECT_EQ(clicks, 1);
    if (TSimpleTimerHandler* timers = TSimpleTimerHandler::Instance()) {
        EXPECT_EQ(timers->WindowProc(WM_TIMER, reinterpret_cast<std::uintptr_t>(&form), 0), 0);
    }
    // A record without its NUL is read within its byte count only.
    plat::copydata record;
    record.bytes = {'H', 0, 'i', 0, '!'};
    form.HandleCopyDataCommand(CopyDataText(record));
    EXPECT_EQ(form.LastCommand(), "Hi");
}

TEST_F(MainFormPaths, settings_action_through_a_hook_rereads_the_settings) {
    int shown = 0;
    MainFormHooks().ShowSettings = [&](TMainForm&) {
        ++shown;
        settings("PINCache=0\r\nCertTips=1\r\n");
    };
    TMainForm& form = start();
    form.AcAdvancedExecute();
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(form.Config().PINCache, 0);
    EXPECT_EQ(form.Config().CertTips, 1);
}

// The program's own units behind the main form: the PIN dialog on a default
// PIN, the settings dialog, the update question.
TEST_F(MainFormPaths, a_default_pin_opens_the_pin_dialog_which_changes_it_on_the_forms_token) {
    settings("DefaultPINMode=1\r\n");
    FakeToken t = TokenWith("t", "c");
    t.isDefault = 1;
    g.tokens = {t};
    TMainForm& form = start();
    dialogtest::modal_script script;
    bool flagWhileOpen = false;
    script.then([&](QWidget* w) {
        auto* prompt = qobject_cast<TUPinSetForm*>(w);
        ASSERT_NE(prompt, nullptr);
        EXPECT_EQ(prompt->Mode(), TUPinSetForm::prompt_mode);
        flagWhileOpen = PinDialogOpen();
        // The settings action does nothing while the PIN dialog is open.
        form.AcAdvancedExecute();
        QTest::mouseClick(prompt->btn1, Qt::LeftButton); // Yes: change it
    });
    int changeMode = -1;
    script.then([&](QWidget* w) {
        auto* change = qobject_cast<TUPinSetForm*>(w);
        ASSERT_NE(change, nullptr);
        changeMode = change->Mode();
        change->edtUPin->setText(QStringLiteral("12345678"));
        change->edtNewUPin1->setText(QStringLiteral("Abcd1234"));
        change->edtNewUPin2->setText(QStringLiteral("Abcd1234"));
        QTest::mouseClick(change->btnOK, Qt::LeftButton);
    });
    timer("TCheckDefaultUPIN").Tick();
    EXPECT_EQ(script.seen(), 2) << "the prompt and the change dialog, no settings dialog";
    EXPECT_TRUE(flagWhileOpen);
    EXPECT_FALSE(PinDialogOpen());
    EXPECT_EQ(changeMode, 0);
    EXPECT_EQ(g.tokens[0].pin, "Abcd1234");
    EXPECT_EQ(messages(), "information\tInformation\tSet Successfully\n");
}

TEST_F(MainFormPaths, the_settings_action_opens_the_settings_dialog_and_a_removal_closes_it) {
    g.tokens = {TokenWith("one", "c1")};
    TMainForm& form = start();
    dialogtest::modal_script script;
    bool isSettings = false;
    script.then([&](QWidget* w) {
        isSettings = qobject_cast<TProjectConfigForm*>(w) != nullptr;
        settings("PINCache=0\r\nCertTips=1\r\n"); // saved meanwhile
        g.tokens.clear();                         // the token leaves: its dialogs close
        usb_->Remove(token_name(0x0224));
    });
    form.AcAdvancedExecute();
    EXPECT_EQ(script.seen(), 1);
    EXPECT_TRUE(isSettings);
    EXPECT_EQ(form.TokenCount(), 0);
    EXPECT_EQ(form.Config().PINCache, 0) << "read again after the dialog";
    EXPECT_EQ(form.Config().CertTips, 1);
}

TEST_F(MainFormPaths, the_update_command_answers_the_update_checks_question) {
    dialogtest::http_server server;
    ASSERT_TRUE(server.listening());
    server.set("/version.ini",
               {200, "[Mgr]\nVersion=1.3\n[URL]\nUpdateFile=" + server.url("/setup") +
                         "\nUpdateSize=5\nUpdateSHA256=" + std::string(64, 'a') + "\n"});
    const std::string dir = dirs_.data() + "update/";
    std::filesystem::create_directories(dir);
    traytest::write_text(dir + "ClientConfig.ini", "[Mgr]\nVersion=1.2\n[URL]\nVersionFile=" +
                                                       server.url("/version.ini") + "\n");
    TMainForm& form = start();
    unsetenv("TAVREL_MESSAGE_LOG");
    dialogtest::modal_script script;
    QString question;
    script.then([&](QWidget* w) {
        if (auto* box = qobject_cast<QMessageBox*>(w)) question = box->text();
        ASSERT_TRUE(
            SendCopyDataCommand(QStringLiteral("Update"), QString::fromLatin1(tray_window_class)) ==
            plat::send_result::delivered);
    });
    timer("TAppUpdate").Tick();
    setenv("TAVREL_MESSAGE_LOG", messages_.c_str(), 1);
    EXPECT_EQ(question, "A new version is detected, do you want to upgrade?");
    EXPECT_EQ(form.LastCommand(), "Update");
    EXPECT_TRUE(UpdateCancelled());
    EXPECT_EQ(server.requests(), std::vector<std::string>{"/version.ini"}) << "nothing downloaded";
    const std::string log = traytest::read_text(dir + "Logs.txt");
    EXPECT_NE(log.find("放弃更新"), std::string::npos) << log;
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
