// The main form. Here it is the program's hidden main window: it applies
// its texts, reads the settings, starts Drumvale with the module named by
// "PKCS11Name", and receives the text commands sent to the tray window
// ("Tavrel_v1.0_TrayIcon"). Its destruction runs the shut-down order.
#pragma once

#include <QString>
#include <QWidget>

#include <memory>

#include "ProjectBase.h"

class QLabel;

namespace pruvell {

class TMainForm : public QWidget {
    Q_OBJECT
  public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // Applies the texts of the current language.
    void ApplyTexts();

    bool TokenLibraryReady() const { return token_library_ready_; }
    const TConfigInfo& Config() const { return config_; }
    const QString& LastCommand() const { return last_command_; }

  signals:
    void commandHandled(const QString& text);

  private slots:
    void HandleCopyDataCommand(const QString& text);

  private:
    TConfigInfo config_;
    std::unique_ptr<TCopyDataWindow> tray_window_;
    QLabel* status_label_ = nullptr;
    bool token_library_ready_ = false;
    QString last_command_;
};

} // namespace pruvell
