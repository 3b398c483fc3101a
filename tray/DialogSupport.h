// What the program's dialogs share: finding an open form of the program by
// its window class (as FindWindow does, class names compared without regard
// to case), bringing it to the front, and the message boxes that
// ShowMessage (MessageBoxes.h) does not cover: an OK box with the question
// icon, and Yes/No questions.
//
// Every open Yes/No question is known by its topic, so that a command from
// outside can answer exactly the question it concerns with "No" (and never
// some other box that happens to carry the same caption).
//
// When $TAVREL_MESSAGE_LOG names a file, boxes are recorded there as
// ShowMessage does ("question" for the OK box with the question icon,
// "yesno" for a question) and a question is answered with "No", its
// default button.
#pragma once

#include <QString>
#include <QStringView>

class QWidget;

namespace pruvell {

// Marks a top-level form with its window class.
void SetWindowClass(QWidget* form, const char* windowClass);
// The visible top-level form of that class, or null.
QWidget* FindWindowOfClass(QStringView windowClass);
// SetForegroundWindow: shows, raises and activates the form.
void BringToFront(QWidget* form);

// An OK box with the question icon, caption "P_MSGTitle".
void ShowQuestionIconMessage(QWidget* parent, const QString& text);

enum class TQuestionTopic { update };

// A Yes/No question (caption "P_MSGTitle", question icon, topmost). True
// only for Yes.
bool AskYesNo(QWidget* parent, const QString& text, TQuestionTopic topic);
// Answers every open question of that topic with "No"; the number answered.
int AnswerOpenQuestionsNo(TQuestionTopic topic);

} // namespace pruvell
