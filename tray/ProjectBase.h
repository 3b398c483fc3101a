// The tray program's small shared services: the per-user data directory,
// the settings file "MgrConfig.ini" and its record, the registry values it
// writes, the language choice and the language list, dates for the
// certificate-expiry warning, opening a web address, and text commands sent
// to and received from other programs' windows (WM_COPYDATA).
#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <memory>

#include "window_message.h"

class QWidget;

namespace pruvell {

// Window classes of the message contract.
inline constexpr const char* tray_window_class = "Tavrel_v1.0_TrayIcon";
inline constexpr const char* manager_window_class = "Tavrel_v1.0_Mgr";
// Registry key and values (HKEY_CURRENT_USER).
inline constexpr const char* registry_key = "Software\\Tavrel1.0";
inline constexpr const char* csp_registry_value = "velkora_v1.0_csp";
inline constexpr const char* cross_process_registry_value = "CrossProcess";

// The settings record (section "APPConfig" of "MgrConfig.ini").
struct TConfigInfo {
    int32_t URLOpenMode = 0;    // 1 = open URL when a token arrives
    QString URL;                // web address to open
    int32_t BrowserMode = 0;    // not 0 = the alternative browser, 0 = the default one
    int32_t CertTips = 0;       // 1 = warn about certificates that expire soon
    int32_t CertDay = 0;        // warning horizon in days
    int32_t LanguageID = 1033;  // stored and read back
    int32_t DefaultPINMode = 1; // 1 = check for the default user PIN
    int32_t PINCache = 1;       // mirrored into the registry value "CrossProcess"
};

// The per-user data directory: <APPDATA>/Tavrel/Tavrel1.0/ (with the
// trailing separator), created with its parents when missing. APPDATA
// stands for the roaming application-data folder: $APPDATA, else
// $XDG_CONFIG_HOME, else ~/.config.
QString DataDirectory();

// Reads the settings; a missing file or key gives the defaults. Result 0,
// or 1 when the file exists but cannot be read or is not text (then every
// field has its default). `problems` receives one sentence for each thing
// that was not as expected (the file missing or unreadable, a value that is
// not a number), for the user.
int ReadConfig(const QString& path, TConfigInfo& config, QStringList* problems = nullptr);
// Writes all eight keys, in the order of the record. 0 done, 1 failed.
int WriteConfig(const QString& path, const TConfigInfo& config);

// 1066 when section "Current", key "key" of the file is "Vietnamese" (any
// case); 1033 otherwise, and when the file is missing or cannot be read.
int PickLanguage(const QString& path);

inline constexpr int language_list_max = 129;
struct TLanguageInfo {
    std::array<QString, language_list_max> LanguageID, LanguageName, LanguageFile, LanguageCSP;
    int Count = 0;
};
// One entry per section, in file order; sections beyond the 129th are not
// taken. 0 done, 1 failed (the file cannot be read).
int ReadLanguageList(const QString& path, TLanguageInfo& info);

// "yyyy/mm/dd hh:nn:ss" (or the date alone) as a local time; an invalid
// QDateTime when the text is no such date.
QDateTime ParseDateTime(const QString& text);
// True when `days` >= (that day's midnight - now) in days with fractions.
// A date that does not exist is never "expiring".
bool IsExpiringWithin(int year, int month, int day, int days);
bool IsExpiringWithin(int year, int month, int day, int days, const QDateTime& now);

// Opens a web address in the browser: nothing for an empty address; an
// address without a scheme is taken as http; anything that is not http or
// https (a file, a program, another scheme) is never opened. Failures are
// silent.
void OpenUrl(QWidget* window, const QString& url, int browserMode);
// The address OpenUrl would open, or empty when it opens nothing.
QString UrlToOpen(const QString& url);

// The two registry values; failures are silent.
void WriteCspRegistryValue(const QString& library);
void WriteCrossProcessValue(const QString& decimal);

// Sends `command` as UTF-16 with its NUL (byte count (length + 1) * 2,
// number 0) to the window of that class and waits for it to be taken; no
// such window: nothing is sent.
plat::send_result SendCopyDataCommand(const QString& command, const QString& windowClass);

// The text of a received record: UTF-16 up to its first NUL, never beyond
// the record's byte count (an odd last byte is not a unit).
QString CopyDataText(const plat::copydata& record);

// A window of ours that receives text commands. The record is taken and
// answered on the receiving thread at once, then handed to the GUI thread:
// a sender (the token library, which sends while it holds its lock) never
// waits for the GUI thread, whatever that thread is doing.
class TCopyDataWindow : public QObject {
    Q_OBJECT
  public:
    explicit TCopyDataWindow(const QString& windowClass, QObject* parent = nullptr);
    ~TCopyDataWindow() override;
    bool listening() const { return window_ != nullptr; }

  signals:
    void commandReceived(const QString& text);

  private:
    std::unique_ptr<plat::message_window> window_;
};

} // namespace pruvell
