#include "DialogSupport.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QVariant>
#include <QWidget>

#include <cstdlib>

#include "ResStrs.h"

namespace pruvell {

namespace {

constexpr const char* window_class_property = "pruvellWindowClass";

// Records a box in $TAVREL_MESSAGE_LOG; false when no log is asked for.
bool RecordBox(const char* kind, const QString& text) {
    const char* log = std::getenv("TAVREL_MESSAGE_LOG");
    if (log == nullptr || *log == '\0') return false;
    QFile file(QString::fromLocal8Bit(log));
    if (file.open(QIODevice::Append | QIODevice::WriteOnly)) {
        QString line = QString::fromLatin1(kind) + u'\t' + Text(u"P_MSGTitle") + u'\t' + text;
        line.replace(u'\n', u' ');
        file.write((line + u'\n').toUtf8());
    }
    return true;
}

} // namespace

void SetWindowClass(QWidget* form, const char* windowClass) {
    form->setProperty(window_class_property, QString::fromLatin1(windowClass));
}

QWidget* FindWindowOfClass(QStringView windowClass) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (!w->isVisible()) continue;
        const QString name = w->property(window_class_property).toString();
        if (!name.isEmpty() && name.compare(windowClass, Qt::CaseInsensitive) == 0) return w;
    }
    return nullptr;
}

void BringToFront(QWidget* form) {
    if (form == nullptr) return;
    form->show();
    form->raise();
    form->activateWindow();
}

void ShowQuestionIconMessage(QWidget* parent, const QString& text) {
    if (RecordBox("question", text)) return;
    QMessageBox box(QMessageBox::Question, Text(u"P_MSGTitle"), text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace pruvell
