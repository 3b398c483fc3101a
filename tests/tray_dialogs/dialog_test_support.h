// Helpers for the dialog tests: acting on modal dialogs while the code under
// test waits in them, the recorded message boxes, the English texts, and
// pictures kept with the build.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "ResStrs.h"
#include "test_env.h"

namespace dialogtest {

// Acts on each modal dialog that opens, in order: the first one opened gets
// the first step, and so on. A step runs from the event loop of the dialog
// it is given (never inside another step), so it may click, type, or open
// further modal boxes.
class modal_script : public QObject {
  public:
    using step = std::function<void(QWidget*)>;
    modal_script() {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { poll(); });
        timer_.start();
    }
    void then(step s) { steps_.push_back(std::move(s)); }
    // Modal dialogs seen (acted on or not).
    int seen() const { return seen_; }
    bool done() const { return steps_.empty() && !running_; }

  private:
    void poll() {
        QWidget* w = QApplication::activeModalWidget();
        if (w == nullptr || !w->isVisible()) return;
        for (const QPointer<QWidget>& known : handled_)
            if (known == w) return;
        handled_.push_back(w);
        ++seen_;
        if (steps_.empty()) return;
        step s = std::move(steps_.front());
        steps_.pop_front();
        running_ = true;
        QPointer<QWidget> target = w;
        QTimer::singleShot(0, this, [this, s, target] {
            if (!target.isNull()) s(target.data());
            running_ = false;
        });
    }
    QTimer timer_;
    std::deque<step> steps_;
    std::vector<QPointer<QWidget>> handled_;
    int seen_ = 0;
    bool running_ = false;
};

// Runs the event loop until `condition` holds, at most `ms` milliseconds.
inline bool wait_for(const std::function<bool()>& condition, int ms = 10000) {
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// The lines of $TAVREL_MESSAGE_LOG: kind, caption and text, tab-separated.
inline std::vector<std::string> lines_of(const std::string& path) {
    std::vector<std::string> lines;
    std::string text = traytest::read_text(path), line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

inline std::string box(const char* kind, const QString& text) {
    return std::string(kind) + "\tInformation\t" + text.toStdString();
}

// The English texts, as the shipped language file gives them.
inline void load_english(const std::string& dir) {
    const std::string path = dir + "/EN_1033.lng";
    traytest::write_text(path,
                         pruvell::LanguageFileBytes(pruvell::TLanguage::english).toStdString());
    ASSERT_EQ(pruvell::LoadLanguageFile(QString::fromStdString(path)),
              pruvell::TLanguageLoad::loaded);
}

// Keeps a picture of the widget under the build's artifacts/.
inline void keep_picture(QWidget* w, const char* name) {
    QDir().mkpath(QStringLiteral(DIALOG_ARTIFACT_DIR));
    const QString path = QStringLiteral(DIALOG_ARTIFACT_DIR "/") + QString::fromLatin1(name);
    EXPECT_TRUE(w->grab().save(path, "PNG")) << path.toStdString();
}

} // namespace dialogtest
