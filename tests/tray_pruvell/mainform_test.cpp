// The main form as far as it stands: its texts follow the language loaded
// at start, and commands sent to the tray window reach it on the GUI thread.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTest>

#include "Mainfrm.h"
#include "ResStrs.h"
#include "test_env.h"

using namespace pruvell;

namespace {

class MainForm : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TAVREL_MESSAGE_LOG", (dirs_.root() + "/messages").c_str(), 1);
        ResetTexts();
    }
    void TearDown() override {
        unsetenv("TAVREL_MESSAGE_LOG");
        ResetTexts();
    }
    void load(TLanguage language) {
        const std::string path = dirs_.root() + "/lang.lng";
        traytest::write_text(path, LanguageFileBytes(language).toStdString());
        ASSERT_EQ(LoadLanguageFile(QString::fromStdString(path)), TLanguageLoad::loaded);
    }
    traytest::user_dirs dirs_;
};

} // namespace

TEST_F(MainForm, shows_the_texts_of_the_language_loaded) {
    for (TLanguage language : {TLanguage::english, TLanguage::vietnamese}) {
        load(language);
        TMainForm form;
        EXPECT_TRUE(form.TokenLibraryReady()) << "\"Tessvik.dll\" is the built Tessvik";
        EXPECT_EQ(form.windowTitle(), Text(u"Main_Form_PopupMenu_About"));
        auto* label = form.findChild<QLabel*>(QStringLiteral("Label1"));
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->text(), Text(u"P_Caption"));
        auto* copyright = form.findChild<QLabel*>(QStringLiteral("Label6"));
        ASSERT_NE(copyright, nullptr);
        EXPECT_EQ(copyright->text(), Text(u"About_Form_label_CopyRight"));
        EXPECT_EQ(form.font().pointSize(), 8);
    }
    EXPECT_EQ(Text(u"P_Caption"), QString::fromUtf8("Trình quản lý Token Tavrel v1"));
}

TEST_F(MainForm, commands_to_the_tray_window_reach_the_form) {
    load(TLanguage::english);
    TMainForm form;
    ASSERT_EQ(
        SendCopyDataCommand(QStringLiteral("RegCert"), QString::fromLatin1(tray_window_class)),
        plat::send_result::delivered);
    QTRY_COMPARE_WITH_TIMEOUT(form.LastCommand(), QStringLiteral("RegCert"), 10000);
}

TEST_F(MainForm, a_token_library_that_does_not_start_is_reported_with_its_text) {
    // A language file without "PKCS11Name" gives a single space: no module.
    const std::string path = dirs_.root() + "/bare.lng";
    traytest::write_text(path, std::string("[Caption]\nK_pkcs11Init_Error=pkcs11 failed\n"));
    ASSERT_EQ(LoadLanguageFile(QString::fromStdString(path)), TLanguageLoad::loaded);
    TMainForm form;
    EXPECT_FALSE(form.TokenLibraryReady());
    // After TCloseProject's 500 ms, with the question icon; then the form may close.
    QTRY_VERIFY_WITH_TIMEOUT(form.ExitRequested(), 5000);
    EXPECT_EQ(traytest::read_text(dirs_.root() + "/messages"), "question\t \tpkcs11 failed\n");
}
