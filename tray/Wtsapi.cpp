#include "Wtsapi.h"

#include <QCoreApplication>
#include <QPointer>

#ifdef PRUVELL_HAVE_QTDBUS
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QVariantMap>
#endif

#include <map>
#include <unistd.h>

namespace pruvell {

QEvent::Type TWindowMessageEvent::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

#ifdef PRUVELL_HAVE_QTDBUS
namespace {

// logind's view of our session: Active and LockedHint turned into the
// session-change codes. A session that logind reports as remote (Remote,
// set for a login from another host, whose name is in RemoteHost) connects
// and disconnects as a remote session, any other at the console.
class LogindSessionSource : public QObject, public TSessionSource {
    Q_OBJECT
  public:
    bool Register(Deliver deliver) override {
        deliver_ = std::move(deliver);
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected()) return false;
        QDBusInterface manager(QStringLiteral("org.freedesktop.login1"),
                               QStringLiteral("/org/freedesktop/login1"),
                               QStringLiteral("org.freedesktop.login1.Manager"), bus);
        if (!manager.isValid()) return false;
        QDBusReply<QDBusObjectPath> path =
            manager.call(QStringLiteral("GetSessionByPID"), static_cast<uint>(::getpid()));
        if (!path.isValid()) return false;
        path_ = path.value().path();
        active_ = Read(QStringLiteral("Active"));
        locked_ = Read(QStringLiteral("LockedHint"));
        remote_ = Read(QStringLiteral("Remote"));
        return bus.connect(QStringLiteral("org.freedesktop.login1"), path_,
                           QStringLiteral("org.freedesktop.DBus.Properties"),
                           QStringLiteral("PropertiesChanged"), this,
                           SLOT(PropertiesChanged(QString, QVariantMap, QStringList)));
    }

  public slots:
    void PropertiesChanged(const QString& iface, const QVariantMap& changed,
                           const QStringList& invalidated) {
        if (iface != QLatin1String("org.freedesktop.login1.Session")) return;
        auto value = [&](const QString& name, bool old) {
            if (changed.contains(name)) return changed.value(name).toBool();
            if (invalidated.contains(name)) return Read(name);
            return old;
        };
        remote_ = value(QStringLiteral("Remote"), remote_);
        const bool active = value(QStringLiteral("Active"), active_);
        const bool locked = value(QStringLiteral("LockedHint"), locked_);
        if (active != active_) {
            if (remote_)
                deliver_(active ? WTS_REMOTE_CONNECT : WTS_REMOTE_DISCONNECT, 0);
            else
                deliver_(active ? WTS_CONSOLE_CONNECT : WTS_CONSOLE_DISCONNECT, 0);
        }
        if (locked != locked_) deliver_(locked ? WTS_SESSION_LOCK : WTS_SESSION_UNLOCK, 0);
        active_ = active;
        locked_ = locked;
    }

  private:
    // A plain Properties.Get with a short time-out: the GUI thread waits.
    bool Read(const QString& name) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), path_,
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        call << QStringLiteral("org.freedesktop.login1.Session") << name;
        const QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 2000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
        return qvariant_cast<QDBusVariant>(reply.arguments().at(0)).variant().toBool();
    }

    Deliver deliver_;
    QString path_;
    bool active_ = false;
    bool locked_ = false;
    bool remote_ = false;
};

} // namespace
#endif

namespace {
TSessionSourceFactory g_sessionFactory;
std::map<QObject*, std::unique_ptr<TSessionSource>>& Registrations() {
    static std::map<QObject*, std::unique_ptr<TSessionSource>> registrations;
    return registrations;
}
} // namespace

void SetSessionSourceFactory(TSessionSourceFactory factory) {
    g_sessionFactory = std::move(factory);
}

bool RegisterSessionNotification(QObject* window, std::uint32_t /*flags: this session only*/) {
    if (!window) return false;
    std::unique_ptr<TSessionSource> source;
    if (g_sessionFactory) source = g_sessionFactory();
#ifdef PRUVELL_HAVE_QTDBUS
    else
        source = std::make_unique<LogindSessionSource>();
#endif
    if (!source) return false;
    QPointer<QObject> target = window;
    const bool ok = source->Register([target](std::uint32_t code, std::uint32_t session) {
        if (target)
            QCoreApplication::postEvent(
                target, new TWindowMessageEvent(WM_WTSSESSION_CHANGE, code, session));
    });
    if (!ok) return false;
    Registrations()[window] = std::move(source);
    return true;
}

void UnregisterSessionNotification(QObject* window) {
    Registrations().erase(window);
}

bool SessionChangeWantsRescan(const QEvent* event) {
    if (!event || event->type() != TWindowMessageEvent::EventType()) return false;
    const auto* m = static_cast<const TWindowMessageEvent*>(event);
    return m->Msg == WM_WTSSESSION_CHANGE &&
           (m->WParam == WTS_CONSOLE_CONNECT || m->WParam == WTS_REMOTE_CONNECT ||
            m->WParam == WTS_SESSION_UNLOCK);
}

} // namespace pruvell

#ifdef PRUVELL_HAVE_QTDBUS
#include "Wtsapi.moc"
#endif
