// The default-PIN check and the PIN dialog on a simulated token behind pcscd,
// through Drumvale and the built Tessvik: the prompt, a wrong old PIN (the
// token counts it), then the change; afterwards the new PIN logs in and the
// old one does not.
#include <gtest/gtest.h>

#include <QTest>

#include "CallIAQ9ProApis.h"
#include "CerMgrApis.h"
#include "HvButton.h"
#include "HvEdit.h"
#include "ProjectBase.h"
#include "cardsim_harness.h"
#include "dialog_test_support.h"
#include "upinsetfrm.h"

using namespace pruvell;
using dialogtest::box;

namespace {

constexpr const char* factory_pin = "58204716"; // the simulated token's default user PIN
constexpr uint32_t ckr_pin_incorrect = 0xA0;

void fill(QWidget* w, const char* old_pin, const char* new_pin) {
    auto* form = qobject_cast<TUPinSetForm*>(w);
    ASSERT_NE(form, nullptr);
    ASSERT_NE(form->Mode(), TUPinSetForm::prompt_mode);
    QTest::keyClicks(form->edtUPin, QString::fromLatin1(old_pin));
    QTest::keyClicks(form->edtNewUPin1, QString::fromLatin1(new_pin));
    QTest::keyClicks(form->edtNewUPin2, QString::fromLatin1(new_pin));
    QTest::mouseClick(form->btnOK, Qt::LeftButton);
}

} // namespace

TEST(PinChangeOnToken, the_dialog_changes_the_default_user_pin) {
    traytest::user_dirs dirs;
    const std::string messages = dirs.root() + "/messages";
    setenv("TAVREL_MESSAGE_LOG", messages.c_str(), 1);
    setenv("TAVREL_CERTSTORE", (dirs.root() + "/store").c_str(), 1);
    dialogtest::load_english(dirs.root());

    cardsim::card_options options;
    options.oem_identifier = "Tavrel01";
    cardsim::test::simulated_token token(options);
    ASSERT_TRUE(token.inserted()) << token.error();
    // The issuer hands the token out with its factory user PIN: the module's
    // "user PIN set" mark (byte 1 of the OEM area) is on, the card still
    // calls the PIN its default ("WriteOemInfo", offset 1, one byte 01).
    const uint8_t mark_user_pin_set[] = {0xC0, 0x0C, 0x00, 0x01, 0x01, 0x01};
    ASSERT_EQ(token.sim().transmit(mark_user_pin_set), (std::vector<uint8_t>{0x90, 0x00}));
    ASSERT_EQ(init_pkcs11("Tessvik.dll"), 0u);
    uint32_t ids[32], count = 32;
    ASSERT_EQ(token_find(ids, &count), 0u);
    ASSERT_EQ(count, 1u);
    ASSERT_EQ(token_connect(0), 0u);
    TQ9Info info;
    ASSERT_EQ(ReadTokenInfo(0, info), 0u);
    uint32_t remaining = 0, maximum = 0, low = 0, final_try = 0, locked = 0, is_default = 0;
    ASSERT_EQ(
        token_get_pin_state(0, 1, &remaining, &maximum, &low, &final_try, &locked, &is_default),
        0u);
    ASSERT_EQ(is_default, 1u);

    dialogtest::modal_script script;
    script.then([](QWidget* w) {
        auto* prompt = qobject_cast<TUPinSetForm*>(w);
        ASSERT_NE(prompt, nullptr);
        ASSERT_EQ(prompt->Mode(), TUPinSetForm::prompt_mode);
        QTest::mouseClick(prompt->btn1, Qt::LeftButton);
    });
    script.then([](QWidget* w) { fill(w, "11111111", "Tavrel2468"); });
    script.then([](QWidget* w) { fill(w, factory_pin, "Tavrel2468"); });
    TConfigInfo config;
    CheckDefaultPin(nullptr, 0, info, config);
    EXPECT_EQ(script.seen(), 3);
    EXPECT_TRUE(script.done());
    EXPECT_EQ(dialogtest::lines_of(messages),
              (std::vector<std::string>{
                  box("information",
                      QStringLiteral("Wrong Old User PIN, You can try %1 times.").arg(maximum - 1)),
                  box("information", QStringLiteral("Set Successfully"))}));

    uint32_t retries = 0;
    EXPECT_EQ(token_login(0, factory_pin, &retries), ckr_pin_incorrect);
    EXPECT_EQ(token_login(0, "Tavrel2468", &retries), 0u);
    (void)token_logout(0);
    ASSERT_EQ(
        token_get_pin_state(0, 1, &remaining, &maximum, &low, &final_try, &locked, &is_default),
        0u);
    EXPECT_EQ(is_default, 0u) << "the default-PIN check asks no more";

    (void)uninit_pkcs11();
    unsetenv("TAVREL_CERTSTORE");
    unsetenv("TAVREL_MESSAGE_LOG");
    ResetTexts();
}
