// The main form: the program's one long-lived window. It is hidden in normal
// use (the program lives as a tray icon) and doubles as the about box. It
// owns the tray icon, ten timers and a USB watcher, and does all token work
// on the GUI thread: it finds the tokens through Drumvale, registers their
// certificates in the certificate store, removes them again when a token
// leaves or the program ends, warns about expiring certificates and
// uninitialised tokens, and answers the text commands that other processes
// send to the tray window ("Tavrel_v1.0_TrayIcon").
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "CerMgrApis.h"
#include "ProjectBase.h"

class QAction;
class QLabel;
class QPushButton;
class QTimer;

namespace pruvell {

class TTrayIcon;
class TPopupMenu;
class TUSB;
class TUsbNotificationSource;

// The Drumvale functions the form calls; tests put in their own.
struct TDrumvaleCalls {
    decltype(&::init_pkcs11) init_pkcs11 = ::init_pkcs11;
    decltype(&::init_pkcs11_ex) init_pkcs11_ex = ::init_pkcs11_ex;
    decltype(&::uninit_pkcs11) uninit_pkcs11 = ::uninit_pkcs11;
    decltype(&::token_find) token_find = ::token_find;
    decltype(&::token_connect) token_connect = ::token_connect;
    decltype(&::token_get_info) token_get_info = ::token_get_info;
    decltype(&::token_get_pin_state) token_get_pin_state = ::token_get_pin_state;
    decltype(&::token_login) token_login = ::token_login;
    decltype(&::token_logout) token_logout = ::token_logout;
    decltype(&::token_change_upin) token_change_upin = ::token_change_upin;
    decltype(&::token_reload_all_objects) token_reload_all_objects = ::token_reload_all_objects;
    decltype(&::container_load_all) container_load_all = ::container_load_all;
    decltype(&::container_get_cert) container_get_cert = ::container_get_cert;
    decltype(&::container_get_pubkey) container_get_pubkey = ::container_get_pubkey;
    decltype(&::container_addcert_to_store) container_addcert_to_store =
        ::container_addcert_to_store;
    decltype(&::remove_all_certs_from_store) remove_all_certs_from_store =
        ::remove_all_certs_from_store;
    decltype(&::helper_add_root_cert_to_store) helper_add_root_cert_to_store =
        ::helper_add_root_cert_to_store;
};

// Intervals and pauses of the form, in milliseconds, and the arrival poll's
// tick count. The program uses the defaults; tests shorten them.
struct TMainFormTimings {
    int FindUSBKey = 1000;
    int USBRemove = 3000;
    int CheckDefaultUPIN = 500;
    int CloseProject = 500;
    int CheckInit = 400;
    int RegCert = 300;
    int UnRegCert = 100;
    int RegCertXE = 1000;
    int AppUpdate = 6000;
    int HideMainForm = 1;
    int ArrivalPause = 2000;        // after a token's USB arrival, before the poll is set up
    int ArrivalSecondPause = 100;   // then before the poll starts
    int32_t ArrivalRetries = 30000; // ticks of TFindUSBKey after an arrival
};

struct TMainFormOptions {
    TMainFormTimings Timings;
    TDrumvaleCalls Drumvale;
    // The USB notification source of the form's watcher; empty: udev.
    std::function<std::unique_ptr<TUsbNotificationSource>()> UsbSource;
};

// The USB product ids of the tokens this program looks after.
bool IsTokenProductId(uint32_t pid);

// One of the form's timers (the toolkit's TTimer): Enabled, Interval and
// OnTimer. Enabling a running timer starts its interval again.
class TTimer : public QObject {
    Q_OBJECT
  public:
    TTimer(QObject* owner, const char* name, int interval, std::function<void()> onTimer);
    bool Enabled() const;
    void SetEnabled(bool value);
    int Interval() const;
    void SetInterval(int value);
    // Runs the handler now, as a tick would.
    void Tick();

  private:
    QTimer* timer_;
    std::function<void()> onTimer_;
};

class TMainForm : public QWidget {
    Q_OBJECT
  public:
    explicit TMainForm(TMainFormOptions options = {}, QWidget* parent = nullptr);
    ~TMainForm() override;

    // Internal operations.
    void ApplyMainFormTexts();
    int ScanTokens();
    uint32_t RegisterTokenCertificates(int index);
    void WarnExpiringCertificates(int index);
    void OnUsbArrival(TUSB* sender);
    void OnUsbRemoval(TUSB* sender);
    void CloseDialogs();
    void RescanTokens();
    void HandleCopyDataCommand(const QString& text);

    // Actions and handlers.
    void AcShowMainExecute();
    void AcAdvancedExecute();
    void AcAboutExecute();
    void AcExitExecute();
    void Button1Click();
    void Label7Click();
    void Label8Click();
    // WM_QUERYENDSESSION: the session may end; the form lets itself close.
    bool QueryEndSession();

    // The form's state, for the hooks and tests.
    bool TokenLibraryReady() const { return tokenLibraryReady_; }
    int TokenCount() const { return tokenCount_; }
    int PreviousTokenCount() const { return previousTokenCount_; }
    int CurrentTokenIndex() const { return currentTokenIndex_; }
    int32_t FindRetryCounter() const { return findRetryCounter_; }
    void SetFindRetryCounter(int32_t value) { findRetryCounter_ = value; }
    bool ExitRequested() const { return exitRequested_; }
    bool SessionEnding() const { return sessionEnding_; }
    bool SessionNotificationRegistered() const { return sessionRegistered_; }
    const TQ9Info& TokenInfo(int index) const;
    TConfigInfo& Config() { return config_; }
    const TDrumvaleCalls& Drumvale() const { return options_.Drumvale; }
    TTrayIcon* TrayIcon1() const { return trayIcon1_; }
    TPopupMenu* PopupMenu1() const { return popupMenu1_; }
    TUSB* UsbWatcher() const { return usb_.get(); }
    TTimer* Timer(const char* name) const;
    const QString& LastCommand() const { return lastCommand_; }
    QString ProviderName() const;

  signals:
    void commandHandled(const QString& text);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildForm();
    void StartUpMainForm();
    void InitTokenLibrary();
    uint32_t FindAndConnect();
    void RegisterAllTokens(bool reload, bool reportFailures);
    void ReportRegistrationFailure(uint32_t code, const char* pattern);
    bool LoadContainerNames(int index, uint32_t& result);
    template <typename F> void ForEachCertificate(int index, F&& f);
    void ShowBalloon(const QString& text, int iconKind);

    // Timer ticks.
    void TFindUSBKeyTimer();
    void TUSBRemoveTimer();
    void TCheckDefaultUPINTimer();
    void TCloseProjectTimer();
    void TCheckInitTimer();
    void TRegCertXETimer();
    void TAppUpdateTimer();
    void TimerHideMainFormTimer();

    TMainFormOptions options_;
    bool exitRequested_ = false;
    bool sessionEnding_ = false;
    int32_t findRetryCounter_ = 0;
    int tokenCount_ = 0;
    int previousTokenCount_ = 0;
    int currentTokenIndex_ = 0;
    std::unique_ptr<TUSB> usb_;
    bool sessionRegistered_ = false;
    bool tokenLibraryReady_ = false;
    bool aboutRequested_ = false;
    std::array<TQ9Info, max_tokens> tokens_{};
    TConfigInfo config_;
    TLanguageInfo languageInfo_;
    QString lastCommand_;

    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* lversion = nullptr;
    QLabel *Label4 = nullptr, *Label5 = nullptr, *Label6 = nullptr, *Label7 = nullptr,
           *Label8 = nullptr;
    QPushButton* Button1 = nullptr;
    QAction *AcCheceSystem = nullptr, *AcShowMain = nullptr, *AcExit = nullptr,
            *AcAdvanced = nullptr, *AcAbout = nullptr;
    TTrayIcon* trayIcon1_ = nullptr;
    TPopupMenu* popupMenu1_ = nullptr;
    TTimer *TFindUSBKey = nullptr, *TUSBRemove = nullptr, *TCheckDefaultUPIN = nullptr,
           *TCloseProject = nullptr, *TCheckInit = nullptr, *TRegCert = nullptr,
           *TUnRegCert = nullptr, *TRegCertXE = nullptr, *TAppUpdate = nullptr,
           *TimerHideMainForm = nullptr;
    std::unique_ptr<TCopyDataWindow> trayWindow_;
};

} // namespace pruvell
