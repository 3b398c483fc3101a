// Message boxes of the program. Every box has the caption of key
// "P_MSGTitle". When $TAVREL_MESSAGE_LOG names a file, a box is not shown
// but recorded there (one line: kind, caption, text, separated by tabs) and
// answered with its default button, so that scripted runs and tests never
// wait on a modal window.
#pragma once

#include <QString>

class QWidget;

namespace pruvell {

enum class TMessageKind { information, warning, error };

void ShowMessage(QWidget* parent, const QString& text, TMessageKind kind);

} // namespace pruvell
