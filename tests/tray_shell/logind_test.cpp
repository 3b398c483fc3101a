// Session changes from logind: a stand-in login manager on a private bus
// (given to the program as its system bus) changes the session's Active and
// LockedHint properties; the registered window sees the matching changes,
// as console changes for a local session and remote ones for a session
// logged in from another host.
#include "Wtsapi.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

using namespace pruvell;

namespace {

const QString kSessionPath = QStringLiteral("/org/freedesktop/login1/session/_31");

class FakeManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
  public slots:
    QDBusObjectPath GetSessionByPID(uint) { return QDBusObjectPath(kSessionPath); }
};

class FakeSession : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Session")
    Q_PROPERTY(bool Active READ Active)
    Q_PROPERTY(bool LockedHint READ LockedHint)
    Q_PROPERTY(bool Remote READ Remote)
    Q_PROPERTY(QString RemoteHost READ RemoteHost)
  public:
    bool Active() const { return active; }
    bool LockedHint() const { return locked; }
    bool Remote() const { return remote; }
    QString RemoteHost() const {
        return remote ? QStringLiteral("thin-client.example") : QString();
    }
    std::atomic<bool> active{true};
    std::atomic<bool> locked{false};
    std::atomic<bool> remote{false};
};

struct Hook : QObject {
    std::vector<std::uint32_t> codes;
    int rescans = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == TWindowMessageEvent::EventType()) {
            codes.push_back(
                static_cast<std::uint32_t>(static_cast<TWindowMessageEvent*>(e)->WParam));
            if (SessionChangeWantsRescan(e)) ++rescans;
        }
        return false;
    }
};

// A session bus of its own, given to the program as the system bus, with a
// login manager that answers from its own thread, as another process would.
class LogindSession : public ::testing::Test {
  protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
            GTEST_SKIP() << "dbus-daemon is not installed";
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--session"), QStringLiteral("--nofork"),
                       QStringLiteral("--print-address")});
        ASSERT_TRUE(daemon_.waitForStarted(10000));
        ASSERT_TRUE(daemon_.waitForReadyRead(10000));
        const QByteArray address = daemon_.readLine().trimmed();
        ASSERT_FALSE(address.isEmpty());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);

        manager_.moveToThread(&serviceThread_);
        session.moveToThread(&serviceThread_);
        serviceThread_.start();
        bus_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(
            QString::fromUtf8(address), QStringLiteral("fake-logind")));
        ASSERT_TRUE(bus_->isConnected());
        ASSERT_TRUE(bus_->registerObject(QStringLiteral("/org/freedesktop/login1"), &manager_,
                                         QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(
            bus_->registerObject(kSessionPath, &session, QDBusConnection::ExportAllProperties));
        ASSERT_TRUE(bus_->registerService(QStringLiteral("org.freedesktop.login1")));
        QCoreApplication::instance()->installEventFilter(&hook);
    }

    void TearDown() override {
        UnregisterSessionNotification(&window);
        QCoreApplication::instance()->removeEventFilter(&hook);
        if (bus_) {
            bus_->unregisterService(QStringLiteral("org.freedesktop.login1"));
            bus_.reset();
            QDBusConnection::disconnectFromBus(QStringLiteral("fake-logind"));
        }
        serviceThread_.quit();
        serviceThread_.wait();
        if (daemon_.state() != QProcess::NotRunning) {
            daemon_.terminate();
            daemon_.waitForFinished(10000);
        }
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

    void changed(const QVariantMap& values, const QStringList& invalidated) {
        QDBusMessage sig = QDBusMessage::createSignal(
            kSessionPath, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("PropertiesChanged"));
        sig << QStringLiteral("org.freedesktop.login1.Session") << values << invalidated;
        bus_->send(sig);
    }
    // The bus keeps the order of one sender's signals, but Qt may send from
    // this thread out of order: one change at a time.
    bool step(const QString& name, bool value, size_t codes) {
        changed({{name, value}}, {});
        return QTest::qWaitFor([&] { return hook.codes.size() == codes; }, 10000);
    }

    FakeSession session;
    Hook hook;
    QObject window;

  private:
    QProcess daemon_;
    QThread serviceThread_;
    FakeManager manager_;
    std::unique_ptr<QDBusConnection> bus_;
};

} // namespace

TEST_F(LogindSession, PropertyChangesOfOurSessionBecomeSessionChanges) {
    ASSERT_TRUE(RegisterSessionNotification(&window, NOTIFY_FOR_THIS_SESSION));
    ASSERT_TRUE(step(QStringLiteral("LockedHint"), true, 1));
    ASSERT_TRUE(step(QStringLiteral("LockedHint"), false, 2));
    ASSERT_TRUE(step(QStringLiteral("Active"), false, 3));
    ASSERT_TRUE(step(QStringLiteral("Active"), true, 4));
    changed({{QStringLiteral("Active"), true}}, {}); // no change, no message
    // Only named as changed: the value is read back.
    session.locked = true;
    changed({}, {QStringLiteral("LockedHint")});
    ASSERT_TRUE(QTest::qWaitFor([&] { return hook.codes.size() == 5; }, 10000));
    EXPECT_EQ(hook.codes, (std::vector<std::uint32_t>{WTS_SESSION_LOCK, WTS_SESSION_UNLOCK,
                                                      WTS_CONSOLE_DISCONNECT, WTS_CONSOLE_CONNECT,
                                                      WTS_SESSION_LOCK}));
    EXPECT_EQ(hook.rescans, 2);
}

TEST_F(LogindSession, ARemoteSessionConnectsAndDisconnectsAsRemote) {
    session.remote = true;
    session.active = false; // logged in from another host, not yet connected
    ASSERT_TRUE(RegisterSessionNotification(&window, NOTIFY_FOR_THIS_SESSION));
    ASSERT_TRUE(step(QStringLiteral("Active"), true, 1));
    EXPECT_EQ(hook.rescans, 1) << "a remote connect looks for the tokens again";
    ASSERT_TRUE(step(QStringLiteral("LockedHint"), true, 2));
    ASSERT_TRUE(step(QStringLiteral("Active"), false, 3));
    // Only named as changed: the value is read back.
    session.active = true;
    changed({}, {QStringLiteral("Active")});
    ASSERT_TRUE(QTest::qWaitFor([&] { return hook.codes.size() == 4; }, 10000));
    EXPECT_EQ(hook.codes, (std::vector<std::uint32_t>{WTS_REMOTE_CONNECT, WTS_SESSION_LOCK,
                                                      WTS_REMOTE_DISCONNECT, WTS_REMOTE_CONNECT}));
    EXPECT_EQ(hook.rescans, 2);
}

#include "logind_test.moc"
