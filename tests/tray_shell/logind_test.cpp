// Session changes from logind: a stand-in login manager on a private bus
// (given to the program as its system bus) changes the session's Active and
// LockedHint properties; the registered window sees the matching changes.
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
  public:
    bool Active() const { return active; }
    bool LockedHint() const { return locked; }
    std::atomic<bool> active{true};
    std::atomic<bool> locked{false};
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

} // namespace

TEST(LogindSession, PropertyChangesOfOurSessionBecomeSessionChanges) {
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
        GTEST_SKIP() << "dbus-daemon is not installed";
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--session"), QStringLiteral("--nofork"),
                  QStringLiteral("--print-address")});
    struct DaemonStop {
        QProcess& p;
        ~DaemonStop() {
            p.terminate();
            p.waitForFinished(10000);
            qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        }
    } daemonStop{daemon};
    ASSERT_TRUE(daemon.waitForStarted(10000));
    ASSERT_TRUE(daemon.waitForReadyRead(10000));
    const QByteArray address = daemon.readLine().trimmed();
    ASSERT_FALSE(address.isEmpty());
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);

    // The login manager answers from its own thread, as another process would.
    QThread serviceThread;
    FakeManager manager;
    FakeSession session;
    manager.moveToThread(&serviceThread);
    session.moveToThread(&serviceThread);
    serviceThread.start();
    struct ThreadStop {
        QThread& t;
        ~ThreadStop() {
            QDBusConnection::disconnectFromBus(QStringLiteral("fake-logind"));
            t.quit();
            t.wait();
        }
    } threadStop{serviceThread};
    {
        QDBusConnection bus = QDBusConnection::connectToBus(QString::fromUtf8(address),
                                                            QStringLiteral("fake-logind"));
        ASSERT_TRUE(bus.isConnected());
        ASSERT_TRUE(bus.registerObject(QStringLiteral("/org/freedesktop/login1"), &manager,
                                       QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(
            bus.registerObject(kSessionPath, &session, QDBusConnection::ExportAllProperties));
        ASSERT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.login1")));

        Hook hook;
        QCoreApplication::instance()->installEventFilter(&hook);
        QObject window;
        ASSERT_TRUE(RegisterSessionNotification(&window, NOTIFY_FOR_THIS_SESSION));

        auto changed = [&](const QVariantMap& values, const QStringList& invalidated) {
            QDBusMessage sig = QDBusMessage::createSignal(
                kSessionPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                QStringLiteral("PropertiesChanged"));
            sig << QStringLiteral("org.freedesktop.login1.Session") << values << invalidated;
            bus.send(sig);
        };
        // The bus keeps the order of one sender's signals, but Qt may send
        // from this thread out of order: one change at a time.
        auto step = [&](const QString& name, bool value, size_t codes) {
            changed({{name, value}}, {});
            return QTest::qWaitFor([&] { return hook.codes.size() == codes; }, 10000);
        };
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
                                                          WTS_CONSOLE_DISCONNECT,
                                                          WTS_CONSOLE_CONNECT, WTS_SESSION_LOCK}));
        EXPECT_EQ(hook.rescans, 2);

        UnregisterSessionNotification(&window);
        QCoreApplication::instance()->removeEventFilter(&hook);
        bus.unregisterService(QStringLiteral("org.freedesktop.login1"));
    }
}

#include "logind_test.moc"
