#include "MessageBoxes.h"

#include <QAbstractButton>
#include <QFile>
#include <QList>
#include <QMessageBox>
#include <QPointer>

#include <cstdlib>

#include "ResStrs.h"

namespace pruvell {

namespace {

const char* recording_file() {
    const char* log = std::getenv("TAVREL_MESSAGE_LOG");
    return log != nullptr && *log != '\0' ? log : nullptr;
}

void record(const char* log, TMessageKind kind, const QString& caption, const QString& text) {
    QFile file(QString::fromLocal8Bit(log));
    if (!file.open(QIODevice::Append | QIODevice::WriteOnly)) return;
    const char* names[] = {"information", "warning", "error", "question"};
    QString line =
        QString::fromLatin1(names[static_cast<int>(kind)]) + u'\t' + caption + u'\t' + text;
    line.replace(u'\n', u' ');
    file.write((line + u'\n').toUtf8());
}

QMessageBox::Icon icon_of(TMessageKind kind) {
    switch (kind) {
    case TMessageKind::error:
        return QMessageBox::Critical;
    case TMessageKind::warning:
        return QMessageBox::Warning;
    case TMessageKind::question:
        return QMessageBox::Question;
    default:
        return QMessageBox::Information;
    }
}

// The questions of ours that are open now (the innermost last).
QList<QPointer<QMessageBox>>& open_questions() {
    static QList<QPointer<QMessageBox>> boxes;
    return boxes;
}

} // namespace

void ShowMessage(QWidget* parent, const QString& text, TMessageKind kind, bool topmost) {
    const QString caption = Text(u"P_MSGTitle");
    if (const char* log = recording_file()) {
        record(log, kind, caption, text);
        return;
    }
    QMessageBox box(icon_of(kind), caption, text, QMessageBox::Ok, parent);
    if (topmost) box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.exec();
}

bool AskQuestion(QWidget* parent, const QString& text) {
    const QString caption = Text(u"P_MSGTitle");
    if (const char* log = recording_file()) {
        record(log, TMessageKind::question, caption, text);
        return false;
    }
    // On the heap and watched: the parent may go away while the question is
    // open, taking the box with it.
    QPointer<QMessageBox> box = new QMessageBox(QMessageBox::Question, caption, text,
                                                QMessageBox::Yes | QMessageBox::No, parent);
    box->setWindowFlag(Qt::WindowStaysOnTopHint);
    box->setDefaultButton(QMessageBox::Yes);
    box->setEscapeButton(QMessageBox::No);
    open_questions().append(box);
    const int answer = box->exec();
    open_questions().removeIf(
        [&](const QPointer<QMessageBox>& q) { return q.isNull() || q == box; });
    delete box.data();
    return answer == QMessageBox::Yes;
}

int AnswerOpenQuestionsNo() {
    int n = 0;
    // A copy: answering may end a question and change the list.
    const QList<QPointer<QMessageBox>> boxes = open_questions();
    for (const QPointer<QMessageBox>& box : boxes)
        if (box && box->isVisible())
            if (QAbstractButton* no = box->button(QMessageBox::No)) {
                no->click();
                ++n;
            }
    return n;
}

int OpenQuestionCount() {
    int n = 0;
    for (const QPointer<QMessageBox>& box : open_questions())
        n += box && box->isVisible();
    return n;
}

} // namespace pruvell
