// TUSB: the product id read from device-interface names, the names made from
// udev's PRODUCT, and arrival and removal through an injected source; session
// changes through an injected source up to the application-wide filter.
#include "USBPIDUnit.h"
#include "Wtsapi.h"
#include "param_name.h"

#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

using namespace pruvell;

struct PidCase {
    const char* name;
    std::uint32_t pid;
    const char* what;
};
class ProductIdOfName : public ::testing::TestWithParam<PidCase> {};
TEST_P(ProductIdOfName, ReadsTheFourCharactersAfterPid) {
    EXPECT_EQ(ProductIdFromDeviceName(QString::fromUtf8(GetParam().name)), GetParam().pid)
        << GetParam().name;
}
INSTANTIATE_TEST_SUITE_P(
    Names, ProductIdOfName,
    ::testing::Values(
        PidCase{R"(\\?\USB#VID_1A86&PID_0223#5&2D3C1F&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed})",
                0x0223, "upper_case"},
        PidCase{R"(\\?\usb#vid_1a86&pid_0223#5&2d3c1f&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed})",
                0x0223, "lower_case"},
        PidCase{R"(\\?\USB#VID_1A86&PID_022A#1-1)", 0x022A, "hex_letter"},
        PidCase{R"(\\?\USB#VID_1A86&PID_02G3#1-1)", 0, "not_hexadecimal"},
        PidCase{R"(\\?\USB#VID_1A86#1-1)", 0, "no_pid"},
        PidCase{R"(\\?\USB#VID_1A86&PID_)", 0, "nothing_after_pid"},
        PidCase{R"(\\?\USB#VID_1A86&PID_29)", 0x29, "fewer_than_four_digits"},
        PidCase{R"(PID_0x12)", 0, "no_second_prefix"}),
    [](const ::testing::TestParamInfo<PidCase>& info) { return std::string(info.param.what); });

struct ProductCase {
    const char* product;
    bool ok;
    std::uint16_t vid, pid;
};
class UdevProduct : public ::testing::TestWithParam<ProductCase> {};
TEST_P(UdevProduct, ParsesVendorAndProduct) {
    std::uint16_t vid = 0, pid = 0;
    EXPECT_EQ(ParseUdevProduct(GetParam().product, vid, pid), GetParam().ok);
    if (GetParam().ok) {
        EXPECT_EQ(vid, GetParam().vid);
        EXPECT_EQ(pid, GetParam().pid);
    }
}
INSTANTIATE_TEST_SUITE_P(Products, UdevProduct,
                         ::testing::Values(ProductCase{"1a86/223/100", true, 0x1a86, 0x0223},
                                           ProductCase{"d8c/14/100", true, 0x0d8c, 0x0014},
                                           ProductCase{"1a86/224", true, 0x1a86, 0x0224},
                                           ProductCase{"1a86", false, 0, 0},
                                           ProductCase{"xyz/12/1", false, 0, 0},
                                           ProductCase{"12345/1/0", false, 0, 0},
                                           ProductCase{nullptr, false, 0, 0}),
                         [](const ::testing::TestParamInfo<ProductCase>& info) {
                             return info.param.product == nullptr
                                        ? std::string("null")
                                        : test_support::param_name(info.param.product);
                         });

TEST(UsbName, UdevDevicesReadLikeWindowsUsbInterfaces) {
    const QString name = UsbDeviceInterfaceName(0x1a86, 0x0229, QStringLiteral("1-1.2"));
    EXPECT_EQ(name,
              QStringLiteral(
                  R"(\\?\USB#VID_1A86&PID_0229#1-1.2#{A5DCBF10-6530-11D2-901F-00C04FB951ED})"));
    EXPECT_EQ(ProductIdFromDeviceName(name), 0x0229u);
}

namespace {
struct UsbFixture : ::testing::Test {
    TInjectedUsbSource* source = nullptr;
    std::unique_ptr<TUSB> usb;
    std::vector<std::pair<char, std::uint32_t>> seen;
    void SetUp() override {
        auto s = std::make_unique<TInjectedUsbSource>();
        source = s.get();
        usb = std::make_unique<TUSB>(std::move(s));
        usb->OnArrival = [this](TUSB* w) { seen.push_back({'+', w->ProductId()}); };
        usb->OnRemoval = [this](TUSB* w) { seen.push_back({'-', w->ProductId()}); };
    }
};
} // namespace

TEST_F(UsbFixture, ArrivalAndRemovalCarryTheProductId) {
    EXPECT_TRUE(usb->Registered());
    source->Arrive(UsbDeviceInterfaceName(0x1a86, 0x0223, QStringLiteral("1-1")));
    source->Remove(UsbDeviceInterfaceName(0x1a86, 0x0165, QStringLiteral("1-1")));
    source->Arrive(QStringLiteral(R"(\\?\USB#ROOT_HUB30#4&1)")); // no id: 0, still reported
    EXPECT_EQ(seen, (std::vector<std::pair<char, std::uint32_t>>{
                        {'+', 0x0223}, {'-', 0x0165}, {'+', 0}}));
}

TEST_F(UsbFixture, OtherNotificationsAreIgnored) {
    TDevBroadcastDeviceInterface port;
    port.dbcc_devicetype = 3; // a port, not a device interface
    port.dbcc_name = QStringLiteral("COM3 PID_0223");
    source->Send(DBT_DEVICEARRIVAL, &port);
    TDevBroadcastDeviceInterface iface;
    iface.dbcc_name = UsbDeviceInterfaceName(0x1a86, 0x0223, QStringLiteral("1-1"));
    source->Send(0x8001 /* DBT_DEVICEQUERYREMOVE */, &iface);
    source->Send(DBT_DEVICEARRIVAL, nullptr);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(usb->WindowProc(0x0010, 0, nullptr), 0);
}

TEST_F(UsbFixture, AnEventThatThrowsDoesNotLeaveTheWindowProcedure) {
    usb->OnArrival = [](TUSB*) { throw std::runtime_error("handler failed"); };
    EXPECT_NO_THROW(source->Arrive(UsbDeviceInterfaceName(0x1a86, 0x0223, "1-1")));
    source->Remove(UsbDeviceInterfaceName(0x1a86, 0x0223, "1-1"));
    EXPECT_EQ(seen.size(), 1u);
}

TEST(UsbUdev, TheUdevWatcherStartsAndStopsWithoutEvents) {
    // No hot-plug here; the monitor opens (or cannot) and closes cleanly.
    TUSB usb;
    int events = 0;
    usb.OnArrival = [&](TUSB*) { ++events; };
    QCoreApplication::processEvents();
    SUCCEED();
}

// ------------------------------------------------------------ sessions

namespace {
// The application-wide hook of the main form, reduced to counting.
struct SessionHook : QObject {
    std::vector<std::uint32_t> codes;
    int rescans = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == TWindowMessageEvent::EventType()) {
            codes.push_back(
                static_cast<std::uint32_t>(static_cast<TWindowMessageEvent*>(e)->WParam));
            if (SessionChangeWantsRescan(e)) ++rescans;
        }
        return false; // still dispatched
    }
};

struct SessionFixture : ::testing::Test {
    TInjectedSessionSource* source = nullptr;
    bool available = true;
    QObject window;
    SessionHook hook;
    void SetUp() override {
        SetSessionSourceFactory([this] {
            auto s = std::make_unique<TInjectedSessionSource>();
            s->available = available;
            source = s.get();
            return s;
        });
        QCoreApplication::instance()->installEventFilter(&hook);
    }
    void TearDown() override {
        QCoreApplication::instance()->removeEventFilter(&hook);
        UnregisterSessionNotification(&window);
        SetSessionSourceFactory(nullptr);
    }
};
} // namespace

TEST_F(SessionFixture, LockGivesNoRescanAndTheUnlockThatFollowsDoes) {
    ASSERT_TRUE(RegisterSessionNotification(&window, NOTIFY_FOR_THIS_SESSION));
    source->Change(WTS_SESSION_LOCK);
    source->Change(WTS_SESSION_UNLOCK);
    ASSERT_TRUE(QTest::qWaitFor([&] { return hook.codes.size() == 2; }, 5000));
    EXPECT_EQ(hook.rescans, 1);
    EXPECT_EQ(hook.codes, (std::vector<std::uint32_t>{WTS_SESSION_LOCK, WTS_SESSION_UNLOCK}));
}

TEST_F(SessionFixture, ConsoleAndRemoteConnectRescanOtherChangesDoNot) {
    ASSERT_TRUE(RegisterSessionNotification(&window, NOTIFY_FOR_THIS_SESSION));
    for (std::uint32_t code : {WTS_CONSOLE_CONNECT, WTS_CONSOLE_DISCONNECT, WTS_REMOTE_CONNECT,
                               WTS_REMOTE_DISCONNECT, WTS_SESSION_LOGON, WTS_SESSION_LOGOFF})
        source->Change(code);
    ASSERT_TRUE(QTest::qWaitFor([&] { return hook.codes.size() == 6; }, 5000));
    EXPECT_EQ(hook.rescans, 2);
}

TEST_F(SessionFixture, WithoutASessionServiceRegistrationFailsAndNothingArrives) {
    available = false;
    EXPECT_FALSE(RegisterSessionNotification(&window, NOTIFY_FOR_THIS_SESSION));
}

TEST_F(SessionFixture, ChangesForADestroyedWindowAreDropped) {
    auto gone = std::make_unique<QObject>();
    ASSERT_TRUE(RegisterSessionNotification(gone.get(), NOTIFY_FOR_THIS_SESSION));
    TInjectedSessionSource* s = source;
    QObject* key = gone.get();
    gone.reset();
    s->Change(WTS_SESSION_UNLOCK);
    ASSERT_TRUE(RegisterSessionNotification(&window, NOTIFY_FOR_THIS_SESSION));
    source->Change(WTS_CONSOLE_CONNECT);
    ASSERT_TRUE(QTest::qWaitFor([&] { return hook.codes.size() == 1; }, 5000));
    EXPECT_EQ(hook.codes[0], WTS_CONSOLE_CONNECT);
    UnregisterSessionNotification(key);
}
