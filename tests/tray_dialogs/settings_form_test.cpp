// The settings dialog over "MgrConfig.ini" of the data directory: every
// setting shown and saved, kept across a new start, Cancel, a file that
// cannot be written, and the tray action around it.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <filesystem>

#include "CerMgrApis.h"
#include "HvEdit.h"
#include "HvSpnEdt.h"
#include "ProjectBase.h"
#include "ProjectConfigfrm.h"
#include "dialog_test_support.h"
#include "registry.h"
#include "upinsetfrm.h"

using namespace pruvell;
using dialogtest::box;
using dialogtest::lines_of;

namespace {

class SettingsForm : public ::testing::Test {
  protected:
    void SetUp() override {
        messages_ = dirs_.root() + "/messages";
        setenv("TAVREL_MESSAGE_LOG", messages_.c_str(), 1);
        dialogtest::load_english(dirs_.root());
    }
    void TearDown() override {
        unsetenv("TAVREL_MESSAGE_LOG");
        ResetTexts();
    }
    std::string config_path() const { return dirs_.data() + "MgrConfig.ini"; }
    void write_config(const std::string& text) {
        std::filesystem::create_directories(dirs_.data());
        traytest::write_text(config_path(), text);
    }
    TConfigInfo stored() const {
        TConfigInfo c;
        EXPECT_EQ(ReadConfig(QString::fromStdString(config_path()), c), 0);
        return c;
    }
    static uint32_t cross_process() {
        uint32_t v = 99;
        EXPECT_EQ(plat::registry_get_dword("Software\\Tavrel1.0", "CrossProcess", v),
                  plat::registry_status::ok);
        return v;
    }
    traytest::user_dirs dirs_;
    std::string messages_;
};

const char* const every_setting =
    "[APPConfig]\nURLOpenMode=1\nURL=https://example.org/token\nBrowserMode=1\nCertTips=1\n"
    "CertDay=45\nLanguageID=1066\nDefaultPINMode=0\nPINCache=0\n";

} // namespace

TEST_F(SettingsForm, shows_every_setting_of_the_file) {
    write_config(every_setting);
    TProjectConfigForm form;
    form.show();
    EXPECT_TRUE(form.cbOpenURL->isChecked());
    EXPECT_EQ(form.edtURL->text(), QStringLiteral("https://example.org/token"));
    EXPECT_TRUE(form.rb2->isChecked());
    EXPECT_FALSE(form.rb1->isChecked());
    EXPECT_TRUE(form.edtURL->isEnabled());
    EXPECT_TRUE(form.cbCertDay->isChecked());
    EXPECT_EQ(form.edtCertDay->ValueAsInteger(), 45);
    EXPECT_TRUE(form.edtCertDay->isEnabled());
    EXPECT_FALSE(form.cbDefaultPIN->isChecked());
    EXPECT_FALSE(form.cbPINCache->isChecked());
    // Hidden by design: the address and language controls.
    for (QWidget* w : {static_cast<QWidget*>(form.cbOpenURL), static_cast<QWidget*>(form.edtURL),
                       static_cast<QWidget*>(form.rb1), static_cast<QWidget*>(form.cbLanguageID)})
        EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Settings"));
    EXPECT_EQ(form.cbCertDay->text(), QStringLiteral("Invalidation warning ahead:"));
    EXPECT_EQ(form.Label1->text(), QStringLiteral("(0 - 365 day(s), 0 as on the expiration date)"));
    EXPECT_EQ(form.btnSave->text(), QStringLiteral("Save"));
}

TEST_F(SettingsForm, a_missing_file_shows_the_defaults) {
    TProjectConfigForm form;
    form.show();
    EXPECT_FALSE(form.cbCertDay->isChecked());
    EXPECT_FALSE(form.edtCertDay->isEnabled());
    EXPECT_TRUE(form.cbDefaultPIN->isChecked());
    EXPECT_TRUE(form.cbPINCache->isChecked());
    EXPECT_TRUE(form.rb1->isChecked());
    dialogtest::keep_picture(&form, "settings_dialog.png");
}

TEST_F(SettingsForm, saves_every_setting_and_a_new_start_shows_them) {
    write_config("[APPConfig]\nLanguageID=1066\n");
    {
        TProjectConfigForm form;
        form.show();
        QTest::mouseClick(form.cbCertDay, Qt::LeftButton, {}, QPoint(5, 10));
        EXPECT_TRUE(form.edtCertDay->isEnabled()) << "the click enables the days";
        form.edtCertDay->selectAll();
        QTest::keyClicks(form.edtCertDay, QStringLiteral("90"));
        form.cbDefaultPIN->setChecked(false);
        form.cbPINCache->setChecked(false);
        form.cbOpenURL->setChecked(true);
        form.cbOpenURLClick();
        form.edtURL->setText(QStringLiteral("  https://example.org/a  "));
        form.rb2->setChecked(true);
        dialogtest::keep_picture(&form, "settings_dialog_edited.png");
        QTest::mouseClick(form.btnSave, Qt::LeftButton);
        EXPECT_FALSE(form.isVisible());
        EXPECT_EQ(form.result(), mrOk);
    }
    EXPECT_EQ(lines_of(messages_),
              std::vector<std::string>{box("information", QStringLiteral("Saved successfully"))});
    const TConfigInfo c = stored();
    EXPECT_EQ(c.URLOpenMode, 1);
    EXPECT_EQ(c.URL, QStringLiteral("https://example.org/a"));
    EXPECT_EQ(c.BrowserMode, 1);
    EXPECT_EQ(c.CertTips, 1);
    EXPECT_EQ(c.CertDay, 90);
    EXPECT_EQ(c.LanguageID, 0) << "saving writes LanguageID 0";
    EXPECT_EQ(c.DefaultPINMode, 0);
    EXPECT_EQ(c.PINCache, 0);

    // A new start of the program: a new dialog reads what was saved.
    TProjectConfigForm again;
    again.show();
    EXPECT_TRUE(again.cbCertDay->isChecked());
    EXPECT_EQ(again.edtCertDay->ValueAsInteger(), 90);
    EXPECT_FALSE(again.cbDefaultPIN->isChecked());
    EXPECT_FALSE(again.cbPINCache->isChecked());
    EXPECT_TRUE(again.cbOpenURL->isChecked());
    EXPECT_EQ(again.edtURL->text(), QStringLiteral("https://example.org/a"));
    EXPECT_TRUE(again.rb2->isChecked());
}

TEST_F(SettingsForm, the_days_are_saved_even_unchecked_and_within_their_range) {
    write_config("[APPConfig]\nCertTips=1\nCertDay=30\n");
    TProjectConfigForm form;
    form.show();
    form.edtCertDay->setText(QStringLiteral("400")); // typed, not yet reformatted
    QTest::mouseClick(form.cbCertDay, Qt::LeftButton, {}, QPoint(5, 10));
    EXPECT_FALSE(form.edtCertDay->isEnabled());
    form.btnSaveClick();
    const TConfigInfo c = stored();
    EXPECT_EQ(c.CertTips, 0);
    EXPECT_EQ(c.CertDay, 365);
}

TEST_F(SettingsForm, an_address_is_required_when_opening_one_is_asked_for) {
    TProjectConfigForm form;
    form.show();
    form.cbOpenURL->setChecked(true);
    form.btnSaveClick();
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(
        lines_of(messages_),
        std::vector<std::string>{box("information", QStringLiteral("URL is empty,please input"))});
    EXPECT_FALSE(std::filesystem::exists(config_path()));
}

TEST_F(SettingsForm, a_file_that_cannot_be_written_is_reported_and_the_dialog_closes) {
    std::filesystem::create_directories(config_path()); // a directory in its place
    TProjectConfigForm form;
    form.show();
    EXPECT_FALSE(form.cbDefaultPIN->isChecked()) << "an unreadable file counts as cleared";
    form.btnSaveClick();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(lines_of(messages_),
              std::vector<std::string>{box("information", QStringLiteral("Save failed"))});
}

TEST_F(SettingsForm, the_action_reads_the_settings_again_and_writes_cross_process_even_on_cancel) {
    write_config(every_setting);
    TConfigInfo config; // the main form's record, still at its defaults
    TLanguageInfo languages;
    dialogtest::modal_script script;
    script.then([](QWidget* w) {
        auto* form = qobject_cast<TProjectConfigForm*>(w);
        ASSERT_NE(form, nullptr);
        form->cbPINCache->setChecked(true); // changed, then cancelled
        QTest::mouseClick(form->Button1, Qt::LeftButton);
    });
    const std::string before = traytest::read_text(config_path());
    EXPECT_TRUE(ExecuteSettingsAction(nullptr, config, languages));
    EXPECT_EQ(script.seen(), 1);
    EXPECT_EQ(traytest::read_text(config_path()), before) << "Cancel writes nothing";
    EXPECT_EQ(config.CertDay, 45);
    EXPECT_EQ(config.PINCache, 0);
    EXPECT_EQ(cross_process(), 0u);

    script.then([](QWidget* w) {
        auto* form = qobject_cast<TProjectConfigForm*>(w);
        form->cbPINCache->setChecked(true);
        QTest::mouseClick(form->btnSave, Qt::LeftButton);
    });
    EXPECT_TRUE(ExecuteSettingsAction(nullptr, config, languages));
    EXPECT_EQ(config.PINCache, 1);
    EXPECT_EQ(cross_process(), 1u);
}

TEST_F(SettingsForm,
       the_action_does_nothing_while_a_pin_dialog_or_another_settings_dialog_is_open) {
    TConfigInfo config;
    TLanguageInfo languages;
    dialogtest::modal_script script;
    {
        TProjectConfigForm open;
        open.show();
        EXPECT_FALSE(ExecuteSettingsAction(nullptr, config, languages));
        EXPECT_EQ(script.seen(), 0);
    }
    // While the default-PIN prompt runs (the flag is the PIN dialog's).
    bool refused = false;
    setenv("FAKE_TOKENS", "1", 1);
    ASSERT_EQ(init_pkcs11(FAKE_TOKEN_MODULE), 0u);
    uint32_t ids[32], count = 32;
    ASSERT_EQ(token_find(ids, &count), 0u);
    ASSERT_EQ(token_connect(0), 0u);
    script.then([&](QWidget* w) {
        refused = !ExecuteSettingsAction(nullptr, config, languages);
        QTest::mouseClick(qobject_cast<TUPinSetForm*>(w)->btn2, Qt::LeftButton);
    });
    TQ9Info token;
    token.MaxPinLen = 16;
    token.MinPinLen = 8;
    CheckDefaultPin(nullptr, 0, token, config);
    EXPECT_TRUE(refused);
    EXPECT_EQ(script.seen(), 1) << "no settings dialog opened";
    (void)uninit_pkcs11();
    unsetenv("FAKE_TOKENS");
}
