// The settings dialog: edits the user settings of "MgrConfig.ini" in the
// data directory. The address-opening and language controls exist but stay
// hidden; the visible settings are the expiry warning with its horizon, the
// default-PIN prompt and the PIN cache.
#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace hv {
class THvEdit;
class THvSpinEdit;
} // namespace hv

namespace pruvell {

struct TConfigInfo;
struct TLanguageInfo;

class TProjectConfigForm : public QDialog {
    Q_OBJECT
  public:
    explicit TProjectConfigForm(QWidget* parent = nullptr);

    // The components of the form.
    QGroupBox* GroupBox1 = nullptr;
    QCheckBox* cbOpenURL = nullptr;
    QRadioButton* rb1 = nullptr;
    QRadioButton* rb2 = nullptr;
    hv::THvEdit* edtURL = nullptr;
    QCheckBox* cbCertDay = nullptr;
    hv::THvSpinEdit* edtCertDay = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QComboBox* cbLanguageID = nullptr;
    QCheckBox* cbDefaultPIN = nullptr;
    QCheckBox* cbPINCache = nullptr;
    QPushButton* btnSave = nullptr;
    QPushButton* Button1 = nullptr;

    // Handlers.
    void FormShow();
    void btnSaveClick();
    void cbCertDayClick();
    void cbOpenURLClick();

  protected:
    void showEvent(QShowEvent* e) override;

  private:
    void ApplyConfigFormTexts();
    void LoadConfigIntoForm();
};

// The tray menu's settings action (AcAdvancedExecute), up to the main
// form's own texts: nothing while the PIN dialog is open (false); an open
// settings dialog is brought forward (false); otherwise the dialog runs
// modally, and afterwards, whatever its result, `config` is read again from
// "MgrConfig.ini", `languages` from the program directory's
// "Languages/LanguageInfo.ini", and "CrossProcess" is written from PINCache
// (true: the caller applies its texts again).
bool ExecuteSettingsAction(QWidget* parent, TConfigInfo& config, TLanguageInfo& languages);

} // namespace pruvell
