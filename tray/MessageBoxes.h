// Message boxes of the program. Every box has the caption of key
// "P_MSGTitle". When $TAVREL_MESSAGE_LOG names a file, a box is not shown
// but recorded there (one line: kind, caption, text, separated by tabs) and
// answered with its default button, so that scripted runs and tests never
// wait on a modal window.
//
// Questions (Yes/No) are the program's own, the update check's included:
// while one is open it can be answered "No" from outside
// (AnswerOpenQuestionsNo), which the command "Update" and a token removal
// do. Windows of other programs, even with the same caption, and boxes of
// ours that only inform, are never answered that way.
#pragma once

#include <QString>

class QWidget;

namespace pruvell {

enum class TMessageKind { information, warning, error, question };

// An OK box with that icon; `topmost` keeps it above other windows.
void ShowMessage(QWidget* parent, const QString& text, TMessageKind kind, bool topmost = false);

// A Yes/No question (question icon, topmost, Escape is No); true only for
// Yes. Recorded runs answer No.
bool AskQuestion(QWidget* parent, const QString& text);

// Answers every open question of ours with "No"; the number answered.
int AnswerOpenQuestionsNo();
// Questions of ours open now.
int OpenQuestionCount();

} // namespace pruvell
