// The PIN dialog: what it accepts as a new PIN and the language file's
// messages for what it refuses, its keys and counters, the default-PIN
// prompt (over a fake module whose token reports "PIN to be changed") and the
// change dialog's place as the only one open.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QTest>

#include "CerMgrApis.h"
#include "HvButton.h"
#include "HvEdit.h"
#include "HvPanel.h"
#include "ProjectBase.h"
#include "dialog_test_support.h"
#include "upinsetfrm.h"

using namespace pruvell;
using dialogtest::box;
using dialogtest::lines_of;

namespace {

class PinForm : public ::testing::Test {
  protected:
    void SetUp() override {
        messages_ = dirs_.root() + "/messages";
        setenv("TAVREL_MESSAGE_LOG", messages_.c_str(), 1);
        dialogtest::load_english(dirs_.root());
    }
    void TearDown() override {
        (void)uninit_pkcs11();
        unsetenv("TAVREL_MESSAGE_LOG");
        ResetTexts();
    }
    static void show(QWidget* w) {
        w->show();
        QApplication::setActiveWindow(w);
        ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    }
    traytest::user_dirs dirs_;
    std::string messages_;
};

struct new_pin_case {
    const char* name;
    const char* pin1;
    const char* pin2;
    const char* kind; // the box shown, or nullptr: accepted
    const char* key;  // its text
    uint32_t token_min = 4;
};
void PrintTo(const new_pin_case& c, std::ostream* os) {
    *os << c.name;
}

// Any character the user can type is taken: the token alone sets the rule.
const new_pin_case new_pin_cases[] = {
    {"accepted", "Abcd1234", "Abcd1234", nullptr, nullptr},
    {"shortest_the_token_takes", "1234", "1234", nullptr, nullptr},
    {"longest_the_token_takes", "abcdefgh12345678ABCDEFGH!@#$%^&*",
     "abcdefgh12345678ABCDEFGH!@#$%^&*", nullptr, nullptr},
    {"punctuation", "Abcd-1234!", "Abcd-1234!", nullptr, nullptr},
    {"blank", "Abcd 1234", "Abcd 1234", nullptr, nullptr},
    {"letter_outside_ascii", "Pässwort12", "Pässwort12", nullptr, nullptr},
    {"digit_outside_ascii", "abcd١٢٣٤", "abcd١٢٣٤", nullptr, nullptr},
    {"confirmation_differs", "Abcd1234", "Abcd1235", "question", "S_PIN_equal"},
    {"differing_lengths_are_a_mismatch_first", "Abcd12", "Abcd1234", "question", "S_PIN_equal"},
    {"too_short", "Abc1234", "Abc1234", "information", "(8--32)", 8},
    // 11 characters the box takes, 33 bytes for the token, whose limit
    // counts the bytes of the PIN (PKCS#11 v2.20 ulMaxPinLen).
    {"more_bytes_than_the_token_takes", "密码密码密码密码密码密", "密码密码密码密码密码密",
     "information", "(4--32)"},
};

class NewPin : public PinForm, public ::testing::WithParamInterface<new_pin_case> {};

} // namespace

TEST_P(NewPin, is_accepted_or_refused_with_the_language_files_message) {
    const new_pin_case& c = GetParam();
    TUPinSetForm form(nullptr, 32, c.token_min, 0);
    show(&form);
    form.edtUPin->setText(QStringLiteral("58204716"));
    form.edtNewUPin1->setText(QString::fromUtf8(c.pin1));
    form.edtNewUPin2->setText(QString::fromUtf8(c.pin2));
    ASSERT_EQ(form.edtNewUPin1->text(), QString::fromUtf8(c.pin1)) << "the box holds it all";
    // Enter in the confirmation box confirms even while OK is disabled for a
    // PIN shorter than the minimum; a click on OK when it is enabled.
    if (form.btnOK->isEnabled())
        QTest::mouseClick(form.btnOK, Qt::LeftButton);
    else
        QTest::keyClick(form.edtNewUPin2, Qt::Key_Return);
    if (c.kind == nullptr) {
        EXPECT_EQ(form.result(), mrOk);
        EXPECT_FALSE(form.isVisible());
        EXPECT_TRUE(lines_of(messages_).empty());
        return;
    }
    EXPECT_TRUE(form.isVisible()) << "the dialog stays open";
    EXPECT_EQ(form.result(), 0);
    const QString text =
        c.key[0] == '(' ? QStringLiteral("User PIN code does not meet the length requirements!") +
                              QString::fromLatin1(c.key)
                        : Text(QString::fromLatin1(c.key));
    EXPECT_EQ(lines_of(messages_), std::vector<std::string>{box(c.kind, text)});
}

INSTANTIATE_TEST_SUITE_P(Cases, NewPin, ::testing::ValuesIn(new_pin_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PinLengths, the_tokens_own_limits_or_the_stated_range_when_they_hold_no_pin) {
    const struct {
        uint32_t token_max, token_min;
        int min, max;
    } cases[] = {
        {16, 4, 4, 16},
        {32, 4, 4, 32},
        {12, 10, 10, 12},
        {8, 8, 8, 8},
        {16, 0, 1, 16},        // an empty PIN is never taken
        {100000, 6, 6, 32767}, // no more than a box holds
        // Limits that no PIN meets: the range the dialog's text states.
        {0, 0, 8, 16},
        {0, 4, 8, 16},
        {4, 16, 8, 16},
    };
    for (const auto& c : cases) {
        const TPinLengthRange r = NewPinLengthRange(c.token_max, c.token_min);
        EXPECT_EQ(r.min, c.min) << c.token_max << "/" << c.token_min;
        EXPECT_EQ(r.max, c.max) << c.token_max << "/" << c.token_min;
    }
}

TEST_F(PinForm, ok_follows_the_minimum_and_the_boxes_hold_no_more_than_the_maximum) {
    const struct {
        uint32_t max, min;
        int old_max; // the old-PIN box: 16, or the token's maximum when it is longer
    } cases[] = {{16, 8, 16}, {32, 4, 32}};
    for (const auto& c : cases) {
        const int min = static_cast<int>(c.min), max = static_cast<int>(c.max);
        const QString pin = QStringLiteral("abcdefghijklmnopqrstuvwxyz0123456789").left(max);
        TUPinSetForm form(nullptr, c.max, c.min, 0);
        show(&form);
        EXPECT_TRUE(form.btnOK->isEnabled()) << "enabled before the first new-PIN event";
        EXPECT_EQ(form.edtUPin->maxLength(), c.old_max);
        EXPECT_EQ(form.edtNewUPin1->maxLength(), max);
        EXPECT_EQ(form.edtNewUPin2->maxLength(), max);

        form.edtNewUPin1->setFocus();
        ASSERT_TRUE(dialogtest::wait_for([&] { return form.edtNewUPin1->hasFocus(); }));
        EXPECT_FALSE(form.btnOK->isEnabled()) << max;
        QTest::keyClicks(form.edtNewUPin1, pin.left(min));
        EXPECT_EQ(form.Label5->text(), QString::number(min));
        EXPECT_FALSE(form.btnOK->isEnabled()) << "the confirmation is still empty";
        form.edtNewUPin2->setFocus();
        ASSERT_TRUE(dialogtest::wait_for([&] { return form.edtNewUPin2->hasFocus(); }));
        EXPECT_EQ(form.Label5->text(), QString()) << "the counter is cleared on exit";
        QTest::keyClicks(form.edtNewUPin2, pin.left(min - 1));
        EXPECT_EQ(form.Label6->text(), QString::number(min - 1));
        EXPECT_FALSE(form.btnOK->isEnabled()) << min - 1 << " characters with a minimum of " << min;
        QTest::keyClicks(form.edtNewUPin2, pin.mid(min - 1, 1));
        EXPECT_TRUE(form.btnOK->isEnabled()) << max;

        QTest::keyClicks(form.edtNewUPin2, pin.mid(min) + QStringLiteral("ABCDEFGH"));
        EXPECT_EQ(form.edtNewUPin2->text(), pin);
        EXPECT_EQ(form.Label6->text(), QString::number(max));
    }
}

TEST_F(PinForm, enter_and_down_move_on_and_enter_in_the_confirmation_confirms) {
    TUPinSetForm form(nullptr, 16, 4, 0);
    show(&form);
    form.edtUPin->setFocus();
    ASSERT_TRUE(dialogtest::wait_for([&] { return form.edtUPin->hasFocus(); }));
    QTest::keyClicks(form.edtUPin, QStringLiteral("abc"));
    EXPECT_EQ(form.Label4->text(), QStringLiteral("3"));
    QTest::keyClick(form.edtUPin, Qt::Key_Return);
    EXPECT_TRUE(form.edtNewUPin1->hasFocus());
    EXPECT_EQ(form.edtUPin->text(), QStringLiteral("abc")) << "Enter is not typed";
    QTest::keyClicks(form.edtNewUPin1, QStringLiteral("Abcd1234"));
    QTest::keyClick(form.edtNewUPin1, Qt::Key_Down);
    EXPECT_TRUE(form.edtNewUPin2->hasFocus());
    QTest::keyClicks(form.edtNewUPin2, QStringLiteral("Abcd1234"));

    QTest::keyClick(form.edtNewUPin2, Qt::Key_Return);
    EXPECT_TRUE(form.isVisible()) << "an old PIN of 3 characters: Enter does nothing";
    form.edtUPin->setText(QStringLiteral("abcd"));
    QTest::keyClick(form.edtNewUPin2, Qt::Key_Return);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.result(), mrOk);
}

TEST_F(PinForm, both_modes_show_their_texts) {
    TUPinSetForm change(nullptr, 16, 4, 0);
    show(&change);
    EXPECT_EQ(change.windowTitle(), QStringLiteral("Change User PIN"));
    EXPECT_EQ(change.Label7->text(), Text(u"P_SetPINInfo"));
    EXPECT_EQ(change.Label1->text(), QStringLiteral("Old User PIN"));
    EXPECT_EQ(change.btnNO->Caption(), QStringLiteral("Cancel(&C)"));
    EXPECT_FALSE(change.Panel2->isVisible());
    EXPECT_EQ(change.width(), change.HvGroupBox1->width() + 30);
    EXPECT_EQ(change.height(), change.HvGroupBox1->height() + 30);
    EXPECT_EQ(change.edtUPin->echoMode(), QLineEdit::Password);
    change.edtUPin->setText(QStringLiteral("5820"));
    change.edtNewUPin1->setText(QStringLiteral("Abcd1234"));
    change.edtNewUPin2->setText(QStringLiteral("Abcd12"));
    dialogtest::keep_picture(&change, "pin_dialog_change.png");

    TUPinSetForm prompt(nullptr, 16, 4, TUPinSetForm::prompt_mode);
    prompt.cbDefaultPIN->setChecked(true);
    show(&prompt);
    EXPECT_EQ(prompt.windowTitle(), QStringLiteral("Information"));
    EXPECT_EQ(prompt.lmsg->text(), Text(u"K_DefaultUPINInfo"));
    EXPECT_EQ(prompt.cbDefaultPIN->text(), QStringLiteral("Show this notification next time"));
    EXPECT_EQ(prompt.btn1->Caption(), QStringLiteral("Yes(&Y)"));
    EXPECT_EQ(prompt.btn2->Caption(), QStringLiteral("No(&N)"));
    EXPECT_FALSE(prompt.HvGroupBox1->isVisible());
    EXPECT_EQ(prompt.size(), prompt.Panel2->size());
    dialogtest::keep_picture(&prompt, "pin_dialog_prompt.png");
}

TEST_F(PinForm, an_open_change_dialog_is_brought_forward_instead_of_a_second) {
    TUPinSetForm open(nullptr, 16, 4, 0);
    show(&open);
    dialogtest::modal_script script;
    TQ9Info token;
    token.MaxPinLen = 16;
    token.MinPinLen = 4;
    EXPECT_EQ(ChangeUserPin(nullptr, 0, token), 0);
    EXPECT_EQ(script.seen(), 0) << "no second dialog";
    EXPECT_TRUE(open.isVisible());
}

TEST_F(PinForm, a_login_that_fails_for_another_reason_than_the_pin_gives_its_code) {
    // No token library: token_login answers "not initialised", which says
    // nothing about the PIN.
    dialogtest::modal_script script;
    script.then([](QWidget* w) {
        auto* form = qobject_cast<TUPinSetForm*>(w);
        ASSERT_NE(form, nullptr);
        form->edtUPin->setText(QStringLiteral("58204716"));
        form->edtNewUPin1->setText(QStringLiteral("Abcd1234"));
        form->edtNewUPin2->setText(QStringLiteral("Abcd1234"));
        form->btnOKClick();
    });
    TQ9Info token;
    token.MaxPinLen = 16;
    token.MinPinLen = 4;
    EXPECT_EQ(ChangeUserPin(nullptr, 0, token), 0);
    EXPECT_EQ(lines_of(messages_),
              std::vector<std::string>{box("information", QStringLiteral("Set Failed ErrorCode") +
                                                              QString::number(0x0D000001u))});
}

TEST_F(PinForm, cancel_or_an_empty_old_pin_changes_nothing) {
    dialogtest::modal_script script;
    script.then([](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); });
    script.then([](QWidget* w) {
        auto* form = qobject_cast<TUPinSetForm*>(w);
        form->edtNewUPin1->setText(QStringLiteral("Abcd1234"));
        form->edtNewUPin2->setText(QStringLiteral("Abcd1234"));
        form->btnOKClick();
    });
    TQ9Info token;
    token.MaxPinLen = 16;
    token.MinPinLen = 4;
    EXPECT_EQ(ChangeUserPin(nullptr, 0, token), 0);
    EXPECT_EQ(ChangeUserPin(nullptr, 0, token), 0);
    EXPECT_EQ(script.seen(), 2);
    EXPECT_TRUE(lines_of(messages_).empty()) << "no token call was made";
}

// The default-PIN prompt, on a fake module whose one token says its user PIN
// is still to be changed.
class DefaultPinPrompt : public PinForm {
  protected:
    void SetUp() override {
        PinForm::SetUp();
        setenv("FAKE_TOKENS", "1", 1);
        ASSERT_EQ(init_pkcs11(FAKE_TOKEN_MODULE), 0u);
        uint32_t ids[32], count = 32;
        ASSERT_EQ(token_find(ids, &count), 0u);
        ASSERT_EQ(count, 1u);
        ASSERT_EQ(token_connect(0), 0u);
        token_.MaxPinLen = 16;
        token_.MinPinLen = 8;
    }
    void TearDown() override {
        unsetenv("FAKE_TOKENS");
        PinForm::TearDown();
    }
    QString config_path() const { return DataDirectory() + QStringLiteral("MgrConfig.ini"); }
    TQ9Info token_;
};

TEST_F(DefaultPinPrompt, unchecked_and_no_is_remembered_and_asks_no_more) {
    TConfigInfo config; // DefaultPINMode 1
    config.CertDay = 12;
    bool flag_while_open = false;
    dialogtest::modal_script script;
    script.then([&](QWidget* w) {
        auto* prompt = qobject_cast<TUPinSetForm*>(w);
        ASSERT_NE(prompt, nullptr);
        EXPECT_EQ(prompt->Mode(), TUPinSetForm::prompt_mode);
        EXPECT_TRUE(prompt->cbDefaultPIN->isChecked());
        flag_while_open = PinDialogOpen();
        QTest::mouseClick(prompt->cbDefaultPIN, Qt::LeftButton, {}, QPoint(5, 10));
        QTest::mouseClick(prompt->btn2, Qt::LeftButton);
    });
    CheckDefaultPin(nullptr, 0, token_, config);
    EXPECT_EQ(script.seen(), 1) << "no change dialog after No";
    EXPECT_TRUE(flag_while_open);
    EXPECT_FALSE(PinDialogOpen());
    EXPECT_EQ(config.DefaultPINMode, 0);
    TConfigInfo stored;
    ASSERT_EQ(ReadConfig(config_path(), stored), 0);
    EXPECT_EQ(stored.DefaultPINMode, 0);
    EXPECT_EQ(stored.CertDay, 12) << "the main form's record is what is written";

    CheckDefaultPin(nullptr, 0, token_, config);
    EXPECT_EQ(script.seen(), 1) << "DefaultPINMode 0: no prompt";
}

TEST_F(DefaultPinPrompt, yes_opens_the_change_dialog_and_cancel_ends_the_loop) {
    TConfigInfo config;
    dialogtest::modal_script script;
    script.then([](QWidget* w) {
        QTest::mouseClick(qobject_cast<TUPinSetForm*>(w)->btn1, Qt::LeftButton);
    });
    int change_mode = -1;
    script.then([&](QWidget* w) {
        auto* form = qobject_cast<TUPinSetForm*>(w);
        ASSERT_NE(form, nullptr);
        change_mode = form->Mode();
        EXPECT_EQ(form->edtNewUPin1->maxLength(), 16);
        QTest::mouseClick(form->btnNO, Qt::LeftButton);
    });
    CheckDefaultPin(nullptr, 0, token_, config);
    EXPECT_EQ(script.seen(), 2);
    EXPECT_EQ(change_mode, 0);
    EXPECT_EQ(config.DefaultPINMode, 1) << "the box stayed checked";
    EXPECT_FALSE(PinDialogOpen());
}
