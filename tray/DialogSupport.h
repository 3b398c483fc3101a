// What the program's dialogs share: finding an open form of the program by
// its window class (as FindWindow does, class names compared without regard
// to case), bringing it to the front, and the one message box that
// ShowMessage (MessageBoxes.h) does not cover: an OK box with the question
// icon. Yes/No questions are AskQuestion's (MessageBoxes.h).
//
// When $TAVREL_MESSAGE_LOG names a file, the box is recorded there as
// ShowMessage does (kind "question").
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

} // namespace pruvell
