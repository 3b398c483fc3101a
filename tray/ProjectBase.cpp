#include "ProjectBase.h"

#include <QDir>
#include <QFileInfo>
#include <QMetaObject>
#include <QRegularExpression>

#include <cmath>
#include <string>
#include <vector>

#include "IniFiles.h"
#include "data_directory.h"
#include "file_util.h"
#include "registry.h"
#include "shell_open.h"

namespace pruvell {

namespace {

constexpr uint32_t copydata_timeout_ms = 5000;
const QString config_section = QStringLiteral("APPConfig");

struct int_field {
    const char* key;
    int32_t TConfigInfo::*field;
    int32_t def;
};

} // namespace

QString DataDirectory() {
    const std::string base = plat::app_data_directory();
    if (base.empty()) return QString();
    const std::string directory = base + "/Tavrel/Tavrel1.0";
    (void)plat::make_directories(directory);
    return QString::fromStdString(directory) + u'/';
}

int ReadConfig(const QString& path, TConfigInfo& config, QStringList* problems) {
    config = TConfigInfo{};
    const TIniFile ini(path);
    auto report = [&](const QString& text) {
        if (problems != nullptr) problems->push_back(text);
    };
    switch (ini.loadStatus()) {
    case TIniLoad::ok:
        break;
    case TIniLoad::missing:
        report(QStringLiteral("The settings file %1 does not exist; the default settings are used.")
                   .arg(path));
        return 0;
    case TIniLoad::unreadable:
        report(QStringLiteral("The settings file %1 cannot be read; the default settings are used.")
                   .arg(path));
        return 1;
    case TIniLoad::corrupt:
        report(QStringLiteral("The settings file %1 is damaged (it is not text); the default "
                              "settings are used.")
                   .arg(path));
        return 1;
    }
    const int_field fields[] = {
        {"URLOpenMode", &TConfigInfo::URLOpenMode, 0},
        {"BrowserMode", &TConfigInfo::BrowserMode, 0},
        {"CertTips", &TConfigInfo::CertTips, 0},
        {"CertDay", &TConfigInfo::CertDay, 0},
        {"LanguageID", &TConfigInfo::LanguageID, 1033},
        {"DefaultPINMode", &TConfigInfo::DefaultPINMode, 1},
        {"PINCache", &TConfigInfo::PINCache, 1},
    };
    config.URL = ini.ReadString(config_section, QStringLiteral("URL"), QString());
    for (const int_field& f : fields) {
        bool valid = true;
        config.*(f.field) =
            ini.ReadInteger(config_section, QString::fromLatin1(f.key), f.def, &valid);
        if (!valid)
            report(QStringLiteral("The setting %1 in %2 is not a number; its default %3 is used.")
                       .arg(QString::fromLatin1(f.key), path)
                       .arg(f.def));
    }
    return 0;
}

int WriteConfig(const QString& path, const TConfigInfo& config) {
    TIniFile ini(path);
    if (ini.loadStatus() == TIniLoad::unreadable) return 1;
    ini.WriteInteger(config_section, QStringLiteral("URLOpenMode"), config.URLOpenMode);
    ini.WriteString(config_section, QStringLiteral("URL"), config.URL);
    ini.WriteInteger(config_section, QStringLiteral("BrowserMode"), config.BrowserMode);
    ini.WriteInteger(config_section, QStringLiteral("CertTips"), config.CertTips);
    ini.WriteInteger(config_section, QStringLiteral("CertDay"), config.CertDay);
    ini.WriteInteger(config_section, QStringLiteral("LanguageID"), config.LanguageID);
    ini.WriteInteger(config_section, QStringLiteral("DefaultPINMode"), config.DefaultPINMode);
    ini.WriteInteger(config_section, QStringLiteral("PINCache"), config.PINCache);
    return ini.UpdateFile() ? 0 : 1;
}

int PickLanguage(const QString& path) {
    const TIniFile ini(path);
    if (ini.loadStatus() != TIniLoad::ok) return 1033;
    const QString value =
        ini.ReadString(QStringLiteral("Current"), QStringLiteral("key"), QString());
    return value.compare(QStringLiteral("Vietnamese"), Qt::CaseInsensitive) == 0 ? 1066 : 1033;
}

int ReadLanguageList(const QString& path, TLanguageInfo& info) {
    info = TLanguageInfo{};
    const TIniFile ini(path);
    if (ini.loadStatus() != TIniLoad::ok) return 1;
    const QStringList sections = ini.ReadSections();
    for (const QString& s : sections) {
        if (info.Count >= language_list_max) break;
        const auto n = static_cast<size_t>(info.Count++);
        info.LanguageID[n] =
            ini.ReadString(s, QStringLiteral("LanguageID"), QStringLiteral("1033"));
        // "LnaguageName" is the key the shipped lists use.
        info.LanguageName[n] =
            ini.ReadString(s, QStringLiteral("LnaguageName"), QStringLiteral("English"));
        info.LanguageFile[n] =
            ini.ReadString(s, QStringLiteral("LanguageFile"), QStringLiteral("EN_1033.lng"));
        info.LanguageCSP[n] = ini.ReadString(s, QStringLiteral("LanguageCSP"), QString());
    }
    return 0;
}

QDateTime ParseDateTime(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral(
        R"(^\s*(\d{1,4})/(\d{1,2})/(\d{1,2})(?:\s+(\d{1,2}):(\d{1,2})(?::(\d{1,2}))?)?\s*$)"));
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch()) return QDateTime();
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    if (!date.isValid() || !time.isValid()) return QDateTime();
    return QDateTime(date, time);
}

bool IsExpiringWithin(int year, int month, int day, int days, const QDateTime& now) {
    const QString text = QString::asprintf("%.4d/%.2d/%.2d 00:00:00", year, month, day);
    const QDateTime moment = ParseDateTime(text);
    if (!moment.isValid()) return false;
    const double left = static_cast<double>(now.msecsTo(moment)) / 86400000.0;
    return static_cast<double>(days) >= left;
}

bool IsExpiringWithin(int year, int month, int day, int days) {
    return IsExpiringWithin(year, month, day, days, QDateTime::currentDateTime());
}

QString UrlToOpen(const QString& url) {
    const QString address = url.trimmed();
    if (address.isEmpty()) return QString();
    static const QRegularExpression scheme(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*):"));
    const QRegularExpressionMatch m = scheme.match(address);
    if (!m.hasMatch()) {
        if (address.startsWith(u'/') || address.startsWith(u'.') || address.startsWith(u'~') ||
            address.contains(u'\\'))
            return QString(); // a file, never a web address
        return QStringLiteral("http://") + address;
    }
    const QString s = m.captured(1).toLower();
    if (s != QStringLiteral("http") && s != QStringLiteral("https")) return QString();
    return address;
}

void OpenUrl(QWidget* /*window*/, const QString& url, int browserMode) {
    const QString address = UrlToOpen(url);
    if (address.isEmpty()) return;
    const std::string text = address.toStdString();
    // The alternative browser of the settings: the system's designated web
    // browser, given the address as its parameter.
    if (browserMode != 0 && plat::shell_open("x-www-browser", text)) return;
    (void)plat::shell_open(text);
}

void WriteCspRegistryValue(const QString& library) {
    (void)plat::registry_set_string(registry_key, csp_registry_value, library.toStdString());
}

void WriteCrossProcessValue(const QString& decimal) {
    bool ok = false;
    const qlonglong value = decimal.trimmed().toLongLong(&ok, 10);
    // As StrToInt: text that is no 32-bit number writes nothing.
    if (!ok || value < INT32_MIN || value > INT32_MAX) return;
    (void)plat::registry_set_dword(registry_key, cross_process_registry_value,
                                   static_cast<uint32_t>(static_cast<int32_t>(value)));
}

plat::send_result SendCopyDataCommand(const QString& command, const QString& windowClass) {
    std::vector<uint8_t> buffer;
    buffer.reserve(static_cast<size_t>(command.size() + 1) * 2);
    for (QChar c : command) {
        buffer.push_back(static_cast<uint8_t>(c.unicode() & 0xFF));
        buffer.push_back(static_cast<uint8_t>(c.unicode() >> 8));
    }
    buffer.push_back(0);
    buffer.push_back(0);
    const plat::window_target target = plat::find_window(windowClass.toStdString());
    if (!target) return plat::send_result::no_window;
    return plat::send_copydata(target, 0, buffer, copydata_timeout_ms);
}

QString CopyDataText(const plat::copydata& record) {
    const size_t units = record.bytes.size() / 2;
    QString text;
    for (size_t i = 0; i < units; ++i) {
        const char16_t unit =
            static_cast<char16_t>(record.bytes[2 * i] | (record.bytes[2 * i + 1] << 8));
        if (unit == 0) break;
        text += QChar(unit);
    }
    return text;
}

TCopyDataWindow::TCopyDataWindow(const QString& windowClass, QObject* parent) : QObject(parent) {
    // The handler runs on the window's receiving thread, which the destructor
    // stops before this object goes; an event posted to this object is
    // dropped with it.
    window_ = plat::message_window::create(
        windowClass.toStdString(), [this](const plat::copydata& record) {
            const QString text = CopyDataText(record);
            QMetaObject::invokeMethod(
                this, [this, text] { emit commandReceived(text); }, Qt::QueuedConnection);
        });
}

TCopyDataWindow::~TCopyDataWindow() {
    window_.reset(); // stops the receiving thread before this object goes
}

} // namespace pruvell
