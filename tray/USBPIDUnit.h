// USB arrival and removal, with the product id of the device.
//
// The notifications come from a source: libudev in the program, an injected
// one in tests. Each event is presented as the Windows device-interface
// notification (WM_DEVICECHANGE with a DEV_BROADCAST_DEVICEINTERFACE record
// whose name reads like "\\?\USB#VID_1A86&PID_0223#1-1#{A5DCBF10-...}"), so
// the product id is read from the name in one way for every source.
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class QSocketNotifier;
struct udev;
struct udev_monitor;

namespace pruvell {

constexpr std::uint32_t WM_DEVICECHANGE = 0x0219;
constexpr std::uintptr_t DBT_DEVICEARRIVAL = 0x8000, DBT_DEVICEREMOVECOMPLETE = 0x8004;
constexpr std::uint32_t DBT_DEVTYP_DEVICEINTERFACE = 5;
// GUID_DEVINTERFACE_USB_DEVICE
inline const QString kUsbDeviceInterfaceClass =
    QStringLiteral("{A5DCBF10-6530-11D2-901F-00C04FB951ED}");

// DEV_BROADCAST_DEVICEINTERFACE, as fields.
struct TDevBroadcastDeviceInterface {
    std::uint32_t dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    QString dbcc_classguid = kUsbDeviceInterfaceClass;
    QString dbcc_name;
};

// The device-interface name of a USB device, as the Windows USB stack forms it.
QString UsbDeviceInterfaceName(std::uint16_t vid, std::uint16_t pid, const QString& instance);
// The udev "PRODUCT" property of a USB device: "vid/pid/bcdDevice" in hex
// without leading zeros. False when it is absent or malformed.
bool ParseUdevProduct(const char* product, std::uint16_t& vid, std::uint16_t& pid);
// The four characters after "PID_" (any case) read as a hexadecimal number;
// 0 without "PID_" or when they are not hexadecimal.
std::uint32_t ProductIdFromDeviceName(const QString& name);

// Where device-change notifications come from. The sink takes the
// WM_DEVICECHANGE wParam and the record (nullptr when there is none).
class TUsbNotificationSource {
  public:
    using Sink = std::function<void(std::uintptr_t wParam, const TDevBroadcastDeviceInterface*)>;
    virtual ~TUsbNotificationSource() = default;
    virtual bool Register(Sink sink) = 0;
};

// USB devices seen by udev (a netlink monitor on the GUI thread's event loop).
class TUdevUsbSource : public QObject, public TUsbNotificationSource {
    Q_OBJECT
  public:
    TUdevUsbSource();
    ~TUdevUsbSource() override;
    bool Register(Sink sink) override;

  private:
    void Receive();
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
    Sink sink_;
};

// A source that tests drive.
class TInjectedUsbSource : public TUsbNotificationSource {
  public:
    bool Register(Sink sink) override {
        sink_ = std::move(sink);
        return true;
    }
    void Send(std::uintptr_t wParam, const TDevBroadcastDeviceInterface* record) {
        if (Sink sink = sink_) sink(wParam, record); // a copy: the watcher may go
    }
    void Arrive(const QString& name) { SendNamed(DBT_DEVICEARRIVAL, name); }
    void Remove(const QString& name) { SendNamed(DBT_DEVICEREMOVECOMPLETE, name); }

  private:
    void SendNamed(std::uintptr_t wParam, const QString& name) {
        TDevBroadcastDeviceInterface rec;
        rec.dbcc_name = name;
        Send(wParam, &rec);
    }
    Sink sink_;
};

class TUSB;
using TUsbEvent = std::function<void(TUSB* Sender)>;

class TUSB {
  public:
    // No source: udev.
    explicit TUSB(std::unique_ptr<TUsbNotificationSource> source = nullptr);
    ~TUSB();
    TUSB(const TUSB&) = delete;
    TUSB& operator=(const TUSB&) = delete;

    bool RegisterUsbNotification();
    // The hidden window's procedure: WM_DEVICECHANGE goes to OnDeviceChange,
    // everything else to the default procedure (0).
    std::intptr_t WindowProc(std::uint32_t msg, std::uintptr_t wParam,
                             const TDevBroadcastDeviceInterface* lParam);

    TUsbEvent OnArrival;
    TUsbEvent OnRemoval;
    std::uint32_t ProductId() const { return productId_; }
    bool Registered() const { return registered_; }

  private:
    void OnDeviceChange(std::uintptr_t wParam, const TDevBroadcastDeviceInterface* record);
    std::unique_ptr<TUsbNotificationSource> source_;
    std::uint32_t productId_ = 0;
    bool registered_ = false;
};

} // namespace pruvell
