#include "Mainfrm.h"

#include <QApplication>
#include <QFont>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>

#include "CerMgrApis.h"
#include "MessageBoxes.h"
#include "ResStrs.h"

namespace pruvell {

TMainForm::TMainForm(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("MainForm"));
    status_label_ = new QLabel(this);
    status_label_->setObjectName(QStringLiteral("Main_Form_Lable"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(status_label_);
    ApplyTexts();

    QStringList problems;
    (void)ReadConfig(DataDirectory() + QStringLiteral("MgrConfig.ini"), config_, &problems);
    for (const QString& p : problems)
        std::fprintf(stderr, "Pruvell: %s\n", p.toUtf8().constData());
    WriteCrossProcessValue(QString::number(config_.PINCache));

    // The tray window takes commands from the token library and the manager.
    tray_window_ = std::make_unique<TCopyDataWindow>(QString::fromLatin1(tray_window_class));
    if (!tray_window_->listening())
        std::fprintf(stderr, "Pruvell: the tray window %s could not be opened\n",
                     tray_window_class);
    connect(tray_window_.get(), &TCopyDataWindow::commandReceived, this,
            &TMainForm::HandleCopyDataCommand);

    const QByteArray module = Text(u"PKCS11Name").toUtf8();
    const uint32_t rc = init_pkcs11(module.constData());
    token_library_ready_ = rc == 0;
    if (!token_library_ready_) {
        std::fprintf(stderr, "Pruvell: the token library \"%s\" did not start (0x%08X)\n",
                     module.constData(), rc);
        ShowMessage(this, Text(u"K_pkcs11Init_Error"), TMessageKind::error);
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    }
}

TMainForm::~TMainForm() {
    // Shut-down order: the certificates this program registered for the
    // token provider leave the store, the manager program is told to close,
    // the token library stops.
    const QByteArray provider = Text(u"PROVIDER_NAME").toUtf8();
    (void)remove_all_certs_from_store(provider.constData());
    (void)SendCopyDataCommand(QStringLiteral("CLOSE"), QString::fromLatin1(manager_window_class));
    (void)uninit_pkcs11();
    tray_window_.reset();
}

void TMainForm::ApplyTexts() {
    setWindowTitle(Text(u"P_Caption"));
    status_label_->setText(Text(u"Main_Form_Lable"));
    bool ok = false;
    const int size = Text(u"FontSize").trimmed().toInt(&ok);
    QFont f = font();
    const QString family = Text(u"FontName").trimmed();
    if (!family.isEmpty()) f.setFamily(family);
    if (ok && size > 0 && size < 72) f.setPointSize(size);
    setFont(f);
}

void TMainForm::HandleCopyDataCommand(const QString& text) {
    last_command_ = text;
    emit commandHandled(text);
}

} // namespace pruvell
