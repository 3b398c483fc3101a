#include "USBPIDUnit.h"

#include <QSocketNotifier>
#include <QtGlobal>

#include <libudev.h>

#include <cstdlib>
#include <exception>

namespace pruvell {

QString UsbDeviceInterfaceName(std::uint16_t vid, std::uint16_t pid, const QString& instance) {
    return QStringLiteral("\\\\?\\USB#VID_%1&PID_%2#%3#%4")
        .arg(vid, 4, 16, QLatin1Char('0'))
        .arg(pid, 4, 16, QLatin1Char('0'))
        .arg(instance, kUsbDeviceInterfaceClass)
        .toUpper();
}

bool ParseUdevProduct(const char* product, std::uint16_t& vid, std::uint16_t& pid) {
    if (!product) return false;
    const QList<QByteArray> parts = QByteArray(product).split('/');
    if (parts.size() < 2) return false;
    bool okV = false, okP = false;
    const uint v = parts[0].toUInt(&okV, 16);
    const uint p = parts[1].toUInt(&okP, 16);
    if (!okV || !okP || v > 0xFFFF || p > 0xFFFF) return false;
    vid = static_cast<std::uint16_t>(v);
    pid = static_cast<std::uint16_t>(p);
    return true;
}

std::uint32_t ProductIdFromDeviceName(const QString& name) {
    const QString upper = name.toUpper();
    const int at = upper.indexOf(QLatin1String("PID_"));
    if (at < 0) return 0;
    const QString digits = upper.mid(at + 4, 4);
    if (digits.isEmpty()) return 0;
    std::uint32_t value = 0;
    for (QChar c : digits) {
        const int d = QStringLiteral("0123456789ABCDEF").indexOf(c);
        if (d < 0) return 0;
        value = value * 16 + static_cast<std::uint32_t>(d);
    }
    return value;
}

// ------------------------------------------------------------ udev

TUdevUsbSource::TUdevUsbSource() = default;

TUdevUsbSource::~TUdevUsbSource() {
    notifier_.reset(); // before the monitor that owns its descriptor
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
}

bool TUdevUsbSource::Register(Sink sink) {
    sink_ = std::move(sink);
    if (monitor_) return true;
    udev_ = udev_new();
    if (!udev_) return false;
    // Events as udev announces them (after its rules ran); the kernel's own
    // when no udev daemon listens.
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (!monitor_) monitor_ = udev_monitor_new_from_netlink(udev_, "kernel");
    if (!monitor_ ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
        if (monitor_) udev_monitor_unref(monitor_);
        monitor_ = nullptr;
        return false;
    }
    notifier_ =
        std::make_unique<QSocketNotifier>(udev_monitor_get_fd(monitor_), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Receive(); });
    return true;
}

void TUdevUsbSource::Receive() {
    udev_device* dev = udev_monitor_receive_device(monitor_);
    if (!dev) return;
    const char* action = udev_device_get_action(dev);
    std::uintptr_t wParam = 0;
    if (action && qstrcmp(action, "add") == 0) wParam = DBT_DEVICEARRIVAL;
    if (action && qstrcmp(action, "remove") == 0) wParam = DBT_DEVICEREMOVECOMPLETE;
    if (wParam != 0 && sink_) {
        TDevBroadcastDeviceInterface rec;
        std::uint16_t vid = 0, pid = 0;
        const char* sysname = udev_device_get_sysname(dev);
        const QString instance = QString::fromUtf8(sysname ? sysname : "");
        // PRODUCT is in the event itself, so removals carry it too.
        if (ParseUdevProduct(udev_device_get_property_value(dev, "PRODUCT"), vid, pid))
            rec.dbcc_name = UsbDeviceInterfaceName(vid, pid, instance);
        else
            rec.dbcc_name =
                QStringLiteral("\\\\?\\USB#%1#%2").arg(instance, kUsbDeviceInterfaceClass);
        Sink sink = sink_;
        udev_device_unref(dev);
        sink(wParam, &rec);
        return;
    }
    udev_device_unref(dev);
}

// ------------------------------------------------------------ TUSB

TUSB::TUSB(std::unique_ptr<TUsbNotificationSource> source)
    : source_(source ? std::move(source) : std::make_unique<TUdevUsbSource>()) {
    RegisterUsbNotification();
}

TUSB::~TUSB() = default;

bool TUSB::RegisterUsbNotification() {
    registered_ = source_->Register(
        [this](std::uintptr_t wParam, const TDevBroadcastDeviceInterface* record) {
            WindowProc(WM_DEVICECHANGE, wParam, record);
        });
    return registered_;
}

std::intptr_t TUSB::WindowProc(std::uint32_t msg, std::uintptr_t wParam,
                               const TDevBroadcastDeviceInterface* lParam) {
    if (msg == WM_DEVICECHANGE) {
        OnDeviceChange(wParam, lParam);
        return 1; // TRUE: the broadcast is granted
    }
    return 0;
}

void TUSB::OnDeviceChange(std::uintptr_t wParam, const TDevBroadcastDeviceInterface* record) {
    if (wParam != DBT_DEVICEARRIVAL && wParam != DBT_DEVICEREMOVECOMPLETE) return;
    if (!record || record->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return;
    productId_ = ProductIdFromDeviceName(record->dbcc_name);
    // A copy: the event may free this watcher.
    TUsbEvent event = wParam == DBT_DEVICEARRIVAL ? OnArrival : OnRemoval;
    if (!event) return;
    // An exception in an event never leaves the window procedure; it goes to
    // the application's handler, which reports it.
    try {
        event(this);
    } catch (const std::exception& e) {
        qWarning("Pruvell: USB event failed: %s", e.what());
    } catch (...) {
        qWarning("Pruvell: USB event failed");
    }
}

} // namespace pruvell
