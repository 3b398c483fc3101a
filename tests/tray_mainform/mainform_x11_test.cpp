// The program's main form in a real tray host: an Xvfb server on a display it
// picks itself, trayer as the XEmbed tray, Qt's xcb platform, Drumvale on the
// built Tessvik ("Tessvik.dll") and a simulated token behind pcscd. USB
// arrival and removal come from an injected source, sent when the simulated
// card goes in or out, as the token's USB device would. Pictures of the tray
// with the icon, a balloon and the about box are kept under the build's
// artifacts folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "HvButton.h"
#include "Mainfrm.h"
#include "ResStrs.h"
#include "TrayIcon.h"
#include "USBPIDUnit.h"
#include "cardsim_harness.h"
#include "cert_maker.h"
#include "test_env.h"
#include "upinsetfrm.h"
#include "window_message.h"
#include "x11_tray_host.h"

using namespace pruvell;
using cardsim::test::simulated_token;

namespace {

test_support::x11_tray_host g_host;

QImage Screen() {
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage();
}

int Colours(const QImage& img) {
    std::set<QRgb> seen;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            seen.insert(img.pixel(x, y) & 0xFFFFFF);
    return static_cast<int>(seen.size());
}

QWidget* TopLevel(const char* cls) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->inherits(cls) && w->isVisible()) return w;
    return nullptr;
}

// Runs a command line to its end, pumping the GUI thread's events meanwhile
// (the tray window answers the token library while this waits).
int RunCommand(const std::string& commandLine, std::string& output) {
    const std::string file = QDir::tempPath().toStdString() + "/mfx-" + std::to_string(::getpid());
    const std::string shell = commandLine + " > " + file + " 2>&1";
    const pid_t pid = test_support::spawn({"/bin/sh", "-c", shell});
    if (pid <= 0) return -1;
    int status = 0;
    const bool ended =
        QTest::qWaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 120000);
    output = traytest::read_text(file);
    ::unlink(file.c_str());
    if (!ended) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Pkcs11Tool(const std::string& args) {
    std::string command;
    if (TESSVIK_SANITIZED)
        command = "LD_PRELOAD=$(gcc -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 ";
    return command + PKCS11_TOOL + " --module " + TESSVIK_MODULE_PATH + " " + args;
}

std::string CertStore(const char* store) {
    std::string out;
    (void)RunCommand(std::string(CERTSTORE_PATH) + " list " + store, out);
    return out;
}

} // namespace

TEST(MainFormInTray, FindsRegistersAndRemovesTheTokensCertificates) {
    if (!g_host.skip_reason().empty()) GTEST_SKIP() << g_host.skip_reason();
    ASSERT_TRUE(g_host.start_error().empty()) << g_host.start_error();
    ASSERT_TRUE(QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 15000))
        << "trayer did not take the tray";
    const QString artifacts = QStringLiteral(PRUVELL_ARTIFACT_DIR);
    QDir().mkpath(artifacts);

    traytest::user_dirs dirs;
    ::setenv("TAVREL_CERTSTORE", (dirs.root() + "/store").c_str(), 1);
    const std::string messages = dirs.root() + "/messages";
    ::setenv("TAVREL_MESSAGE_LOG", messages.c_str(), 1);
    ResetTexts();
    const std::string lang = dirs.root() + "/en.lng";
    traytest::write_text(lang, LanguageFileBytes(TLanguage::english).toStdString());
    ASSERT_EQ(LoadLanguageFile(QString::fromStdString(lang)), TLanguageLoad::loaded);

    // The manager program's window.
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> toManager;
    auto manager = plat::message_window::create("Tavrel_v1.0_Mgr", [&](const plat::copydata& c) {
        std::string text;
        for (size_t i = 0; i + 1 < c.bytes.size() && c.bytes[i] != 0; i += 2)
            text += static_cast<char>(c.bytes[i]);
        std::lock_guard lock(m);
        toManager.push_back(text);
        cv.notify_all();
    });
    ASSERT_NE(manager, nullptr);
    auto managerGot = [&](const std::string& text) {
        std::lock_guard lock(m);
        return std::find(toManager.begin(), toManager.end(), text) != toManager.end();
    };

    cardsim::card_options options;
    options.oem_identifier = "Tavrel01";
    simulated_token token(options);
    ASSERT_TRUE(token.inserted()) << token.error();
    ASSERT_TRUE(token.remove()); // it comes in once the program runs

    TMainFormOptions o;
    o.Timings.ArrivalPause = 200;
    TInjectedUsbSource* usb = nullptr;
    o.UsbSource = [&usb] {
        auto s = std::make_unique<TInjectedUsbSource>();
        usb = s.get();
        return s;
    };
    const QString usbName = UsbDeviceInterfaceName(0x1A86, 0x0223, QStringLiteral("1-1"));
    // Whenever the PIN dialog prompts (as after each arrival of a token with
    // its default PIN), its text is kept, its picture saved, and "No" clicked.
    std::vector<QString> pinPrompts;
    QTimer pinAnswerer;
    QObject::connect(&pinAnswerer, &QTimer::timeout, [&] {
        auto* prompt = qobject_cast<TUPinSetForm*>(QApplication::activeModalWidget());
        if (prompt == nullptr || !prompt->isVisible() ||
            prompt->Mode() != TUPinSetForm::prompt_mode)
            return;
        if (pinPrompts.empty()) {
            EXPECT_TRUE(
                prompt->grab().save(artifacts + QStringLiteral("/mainform_pin_prompt.png")));
        }
        pinPrompts.push_back(prompt->lmsg->text());
        QTest::mouseClick(prompt->btn2, Qt::LeftButton);
    });
    pinAnswerer.start(20);
    auto form = std::make_unique<TMainForm>(o);
    ASSERT_TRUE(form->TokenLibraryReady()) << traytest::read_text(messages);
    EXPECT_EQ(form->TokenCount(), 0);
    ASSERT_NE(usb, nullptr);

    // The token arrives: found by the poll, a balloon, the icon in the tray.
    ASSERT_TRUE(token.insert());
    usb->Arrive(usbName);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->TokenCount() == 1; }, 30000));
    QWidget* trayWidget = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            trayWidget = TopLevel("pruvell::TTrayIconWindow");
            return trayWidget && Colours(Screen().copy(trayWidget->geometry())) > 8;
        },
        15000))
        << "the icon never appeared in the tray";
    EXPECT_LE(trayWidget->geometry().bottom(), 40);
    ASSERT_TRUE(
        QTest::qWaitFor([] { return TopLevel("pruvell::TBalloonWindow") != nullptr; }, 10000))
        << "no balloon";
    QWidget* balloon = TopLevel("pruvell::TBalloonWindow");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return Colours(Screen().copy(balloon->geometry())) > 8; }, 10000));
    const QImage withBalloon = Screen();
    EXPECT_TRUE(withBalloon.save(artifacts + QStringLiteral("/mainform_tray_balloon.png")));
    EXPECT_TRUE(withBalloon.copy(0, 0, withBalloon.width(), 40)
                    .save(artifacts + QStringLiteral("/mainform_tray_icon.png")));

    // The factory-fresh token still has its default user PIN: the PIN dialog
    // asks to change it. It is answered "No" from the dialog's own loop.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !pinPrompts.empty(); }, 10000))
        << traytest::read_text(messages);
    EXPECT_EQ(pinPrompts.front(),
              QStringLiteral("The default user PIN is used, please modify it."));

    // The issuer sets the user PIN, a key pair is made and its certificate
    // stored with pkcs11-tool: Tessvik tells the tray window "RegCert", the
    // form registers again within its timer and tells the manager "LoadCert".
    std::string out;
    ASSERT_EQ(
        RunCommand(
            Pkcs11Tool("--login --login-type so --so-pin pevot --init-pin --new-pin 13572468"),
            out),
        0)
        << out;
    ASSERT_EQ(
        RunCommand(Pkcs11Tool("--login --pin 13572468 --keypairgen --key-type rsa:1024 --id 01 "
                              "--label alice"),
                   out),
        0)
        << out;
    EVP_PKEY* caKey = traytest::rsa_key(1024);
    EVP_PKEY* subjectKey = traytest::rsa_key(1024);
    traytest::cert_spec spec;
    spec.key = subjectKey;
    spec.issuer_key = caKey;
    spec.issuer_cn = "Tavrel Test CA";
    spec.subject_cn = "Alice Tray";
    spec.basic_constraints = 0;
    const traytest::bytes der = traytest::make_cert(spec);
    EVP_PKEY_free(caKey);
    EVP_PKEY_free(subjectKey);
    const std::string certFile = dirs.root() + "/alice.der";
    traytest::write_text(certFile, std::string(der.begin(), der.end()));
    EXPECT_EQ(CertStore("MY"), "");
    ASSERT_EQ(RunCommand(Pkcs11Tool("--login --pin 13572468 --write-object " + certFile +
                                    " --type cert --id 01 --label alice"),
                         out),
              0)
        << out;
    ASSERT_TRUE(QTest::qWaitFor([&] { return managerGot("LoadCert"); }, 20000))
        << "no LoadCert; last command " << form->LastCommand().toStdString();
    EXPECT_EQ(form->LastCommand(), QStringLiteral("RegCert"));
    std::string my = CertStore("MY");
    EXPECT_NE(my.find("Alice Tray\tTavrel CSP V1.0\t"), std::string::npos) << my;
    EXPECT_NE(my.find(traytest::sha1_hex(der)), std::string::npos) << my;

    // The card leaves: its certificates leave the store.
    ASSERT_TRUE(token.remove());
    usb->Remove(usbName);
    EXPECT_EQ(form->TokenCount(), 0);
    EXPECT_EQ(CertStore("MY"), "");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return TopLevel("pruvell::TBalloonWindow") != nullptr; }, 10000));

    // It comes back, is registered again, and the about box is shown.
    ASSERT_TRUE(token.insert());
    usb->Arrive(usbName);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->TokenCount() == 1; }, 30000));
    my = CertStore("MY");
    EXPECT_NE(my.find("Alice Tray\tTavrel CSP V1.0\t"), std::string::npos) << my;

    form->AcAboutExecute();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return form->isVisible() && Colours(Screen().copy(form->frameGeometry())) > 8; },
        10000));
    QTest::qWait(200); // let the window manager-less server settle the last paint
    auto* title = form->findChild<QLabel*>(QStringLiteral("Label1"));
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->text(), QStringLiteral("Tavrel Token Manager v1"));
    EXPECT_TRUE(Screen().save(artifacts + QStringLiteral("/mainform_about.png")));
    EXPECT_TRUE(form->grab().save(artifacts + QStringLiteral("/mainform_about_window.png")));

    // Ending: the certificates leave the store again, the manager is told.
    form.reset();
    EXPECT_EQ(CertStore("MY"), "");
    EXPECT_TRUE(managerGot("CLOSE"));

    // The program itself: it starts, shows its icon in the tray, registers
    // the token's certificate, and takes it out again when it ends.
    const QRect trayArea(Screen().width() - 40, 0, 40, 34);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Colours(Screen().copy(trayArea)) <= 2; }, 10000))
        << "the form's icon is still in the tray";
    const pid_t program = test_support::spawn({PRUVELL_PATH});
    ASSERT_GT(program, 0);
    const bool registered = QTest::qWaitFor(
        [&] { return CertStore("MY").find("Alice Tray\tTavrel CSP V1.0\t") != std::string::npos; },
        30000);
    const bool iconShown =
        QTest::qWaitFor([&] { return Colours(Screen().copy(trayArea)) > 8; }, 15000);
    EXPECT_TRUE(Screen().save(artifacts + QStringLiteral("/pruvell_tray.png")));
    ::kill(program, SIGTERM);
    int status = 0;
    const bool ended =
        QTest::qWaitFor([&] { return ::waitpid(program, &status, WNOHANG) == program; }, 30000);
    if (!ended) {
        ::kill(program, SIGKILL);
        ::waitpid(program, &status, 0);
    }
    EXPECT_TRUE(registered) << CertStore("MY");
    EXPECT_TRUE(iconShown) << "the program's icon never appeared in the tray";
    ASSERT_TRUE(ended);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(CertStore("MY"), "");
    // Only failures that concern the token would be reported.
    EXPECT_EQ(traytest::read_text(messages).find("注册证书失败"), std::string::npos)
        << traytest::read_text(messages);
    ::unsetenv("TAVREL_MESSAGE_LOG");
    ::unsetenv("TAVREL_CERTSTORE");
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    g_host.start("640x420x24");
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("QT_QPA_PLATFORM", g_host.running() ? "xcb" : "offscreen");
    int rc = 0;
    {
        QApplication app(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        rc = RUN_ALL_TESTS();
    }
    g_host.stop();
    return rc;
}
