#include "MessageBoxes.h"

#include <QFile>
#include <QMessageBox>

#include <cstdlib>

#include "ResStrs.h"

namespace pruvell {

void ShowMessage(QWidget* parent, const QString& text, TMessageKind kind) {
    const QString caption = Text(u"P_MSGTitle");
    if (const char* log = std::getenv("TAVREL_MESSAGE_LOG"); log != nullptr && *log != '\0') {
        QFile file(QString::fromLocal8Bit(log));
        if (file.open(QIODevice::Append | QIODevice::WriteOnly)) {
            const char* names[] = {"information", "warning", "error"};
            QString line =
                QString::fromLatin1(names[static_cast<int>(kind)]) + u'\t' + caption + u'\t' + text;
            line.replace(u'\n', u' ');
            file.write((line + u'\n').toUtf8());
        }
        return;
    }
    const QMessageBox::Icon icon = kind == TMessageKind::error     ? QMessageBox::Critical
                                   : kind == TMessageKind::warning ? QMessageBox::Warning
                                                                   : QMessageBox::Information;
    QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.exec();
}

} // namespace pruvell
