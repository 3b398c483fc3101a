#include "PruvellMain.h"

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "IAQ9ProRunOnce.h"
#include "Mainfrm.h"
#include "ProjectBase.h"
#include "ResStrs.h"
#include "USBPIDUnit.h"
#include "data_directory.h"
#include "file_util.h"
#include "file_version.h"

TAVREL_FILE_VERSION(1, 0, 0, 1);

namespace pruvell {

namespace {

bool write_bytes(const QString& path, const QByteArray& bytes) {
    return plat::write_file_atomic(
        path.toStdString(),
        {reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size())});
}

// SIGTERM and SIGINT end the message loop, so that the shut-down order runs
// (the session manager's way of closing a program here).
int signal_pipe[2] = {-1, -1};

void on_signal(int) {
    const char byte = 1;
    (void)!::write(signal_pipe[1], &byte, 1);
}

} // namespace

QString ProgramDirectory() {
    return QString::fromStdString(plat::program_directory()) + u'/';
}

bool ExtractLanguageFiles(const QString& dataDirectory) {
    const bool en = write_bytes(dataDirectory + QStringLiteral("EN_1033.lng"),
                                LanguageFileBytes(TLanguage::english));
    const bool vn = write_bytes(dataDirectory + QStringLiteral("VN_1066.lng"),
                                LanguageFileBytes(TLanguage::vietnamese));
    return en && vn;
}

void SeedUserConfig(const QString& programDirectory, const QString& dataDirectory) {
    const std::string target = (dataDirectory + QStringLiteral("MgrConfig.ini")).toStdString();
    if (::access(target.c_str(), F_OK) == 0) return;
    std::vector<uint8_t> bytes;
    const std::string source = (programDirectory + QStringLiteral("MgrConfig.ini")).toStdString();
    if (plat::read_file(source, bytes, 4 * 1024 * 1024) != plat::read_status::ok) return;
    (void)plat::write_file_atomic(target, bytes);
}

QString ChooseLanguage(const QString& programDirectory, const QString& dataDirectory) {
    if (PickLanguage(programDirectory + QStringLiteral("English.ini")) == 1066) {
        LoadLanguageFile(dataDirectory + QStringLiteral("VN_1066.lng"));
        return QStringLiteral("tavrel_v1.0_csp.vn.dll");
    }
    LoadLanguageFile(dataDirectory + QStringLiteral("EN_1033.lng"));
    return QStringLiteral("tavrel_v1.0_csp.en.dll");
}

int RunPruvell(int argc, char** argv) {
    OpenInstanceMapping();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false); // it lives in the tray
    if (ClaimInstance(static_cast<uint64_t>(::getpid()))) return 0;
    // The unit's own watcher: it only registers for device notifications.
    auto unitUsb = std::make_unique<TUSB>();

    const QString data = DataDirectory();
    if (data.isEmpty() || !ExtractLanguageFiles(data))
        std::fprintf(stderr, "Pruvell: the language files could not be written to %s\n",
                     data.toUtf8().constData());
    const QString program = ProgramDirectory();
    SeedUserConfig(program, data);
    WriteCspRegistryValue(ChooseLanguage(program, data));

    if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        auto* notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
            char byte = 0;
            while (::read(signal_pipe[0], &byte, 1) > 0) {
            }
            QCoreApplication::quit();
        });
        std::signal(SIGTERM, on_signal);
        std::signal(SIGINT, on_signal);
    }

    auto form = std::make_unique<TMainForm>();
    app.setWindowIcon(QIcon(QStringLiteral(":/MAINICON.png")));
    app.setApplicationDisplayName(Text(u"P_Caption"));
    const int rc = app.exec();
    form.reset(); // the shut-down order
    unitUsb.reset();
    CloseInstanceMapping();
    return rc;
}

} // namespace pruvell
