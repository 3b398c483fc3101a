#include "DialogSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QPointer>
#include <QVariant>
#include <QWidget>

#include <cstdlib>
#include <utility>
#include <vector>

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

struct open_question {
    QPointer<QMessageBox> box;
    TQuestionTopic topic;
};

std::vector<open_question>& OpenQuestions() {
    static std::vector<open_question> questions;
    return questions;
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

bool AskYesNo(QWidget* parent, const QString& text, TQuestionTopic topic) {
    if (RecordBox("yesno", text)) return false;
    QPointer<QMessageBox> box = new QMessageBox(QMessageBox::Question, Text(u"P_MSGTitle"), text,
                                                QMessageBox::Yes | QMessageBox::No, parent);
    box->setWindowFlag(Qt::WindowStaysOnTopHint);
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    OpenQuestions().push_back({box, topic});
    const int answer = box->exec();
    auto& open = OpenQuestions();
    std::erase_if(open, [&](const open_question& q) { return q.box.isNull() || q.box == box; });
    delete box.data();
    return answer == QMessageBox::Yes;
}

int AnswerOpenQuestionsNo(TQuestionTopic topic) {
    int answered = 0;
    // Copy first: clicking ends the question's modal loop only once control
    // returns to it, but keep the list safe against re-entry all the same.
    const std::vector<open_question> open = OpenQuestions();
    for (const open_question& q : open) {
        if (q.topic != topic || q.box.isNull()) continue;
        if (QAbstractButton* no = q.box->button(QMessageBox::No)) {
            no->click();
            ++answered;
        }
    }
    return answered;
}

} // namespace pruvell
