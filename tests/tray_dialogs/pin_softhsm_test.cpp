// The user-PIN change on SoftHSM2: an old PIN with characters beyond ASCII
// reaches the token as the user typed it (PKCS#11 PINs are UTF-8), so the
// token accepts it and takes the new PIN.
#include <gtest/gtest.h>

#include <QTest>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "CerMgrApis.h"
#include "HvButton.h"
#include "HvEdit.h"
#include "dialog_test_support.h"
#include "upinsetfrm.h"

using namespace pruvell;
using dialogtest::box;

namespace {

constexpr const char* softhsm_module = "/usr/lib/softhsm/libsofthsm2.so";

} // namespace

TEST(PinChangeOnSoftHsm, an_old_pin_beyond_ascii_is_passed_unchanged) {
    if (access(softhsm_module, R_OK) != 0) GTEST_SKIP() << "softhsm2 is not installed";
    traytest::user_dirs dirs;
    const std::string messages = dirs.root() + "/messages";
    setenv("TAVREL_MESSAGE_LOG", messages.c_str(), 1);
    dialogtest::load_english(dirs.root());
    std::filesystem::create_directories(dirs.root() + "/tokens");
    std::ofstream(dirs.root() + "/softhsm2.conf")
        << "directories.tokendir = " << dirs.root() << "/tokens\nobjectstore.backend = file\n";
    setenv("SOFTHSM2_CONF", (dirs.root() + "/softhsm2.conf").c_str(), 1);
    const char* old_pin = "Pässwört1"; // UTF-8, as a PKCS#11 PIN is
    ASSERT_EQ(std::system((std::string("softhsm2-util --init-token --free --label pins "
                                       "--so-pin 11223344 --pin '") +
                           old_pin + "' > /dev/null 2>&1")
                              .c_str()),
              0);

    ASSERT_EQ(init_pkcs11(softhsm_module), 0u);
    uint32_t ids[32], count = 32;
    ASSERT_EQ(token_find(ids, &count), 0u);
    uint32_t index = count;
    for (uint32_t i = 0; i < count; ++i) {
        char label[33];
        uint32_t initialised = 0;
        ASSERT_EQ(token_get_info(i, label, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr, &initialised),
                  0u);
        if (initialised == 1 && std::string(label) == "pins") index = i;
    }
    ASSERT_LT(index, count);
    ASSERT_EQ(token_connect(index), 0u);

    dialogtest::modal_script script;
    script.then([&](QWidget* w) {
        auto* form = qobject_cast<TUPinSetForm*>(w);
        ASSERT_NE(form, nullptr);
        form->edtUPin->setText(QString::fromUtf8(old_pin));
        form->edtNewUPin1->setText(QStringLiteral("Neu2468ab"));
        form->edtNewUPin2->setText(QStringLiteral("Neu2468ab"));
        QTest::mouseClick(form->btnOK, Qt::LeftButton);
    });
    TQ9Info token;
    token.MaxPinLen = 255;
    token.MinPinLen = 4;
    EXPECT_EQ(ChangeUserPin(nullptr, index, token), 0);
    EXPECT_EQ(dialogtest::lines_of(messages),
              std::vector<std::string>{box("information", QStringLiteral("Set Successfully"))});
    uint32_t retries = 0;
    EXPECT_EQ(token_login(index, "Neu2468ab", &retries), 0u);
    (void)token_logout(index);
    EXPECT_NE(token_login(index, old_pin, &retries), 0u);

    (void)uninit_pkcs11();
    unsetenv("SOFTHSM2_CONF");
    unsetenv("TAVREL_MESSAGE_LOG");
    ResetTexts();
}
