// The PIN dialog and the user-PIN change of the current token.
//
// TUPinSetForm is one dialog for two steps: in prompt mode (100) it asks
// whether the factory-default user PIN should be changed now; in change mode
// it takes the old PIN and the new PIN twice. CheckDefaultPin and
// ChangeUserPin drive it and call Drumvale.
//
// The new PIN's length is the token's to set (its minimum and maximum PIN
// length); any character may be in it. PINs travel as UTF-8, the PKCS#11
// encoding of PINs, so no character the user typed is changed or dropped on
// the way to the token.
#pragma once

#include <QDialog>

#include <cstdint>

#include "drumvale.h"

class QCheckBox;
class QLabel;
class QWidget;

namespace hv {
class THvButton;
class THvEdit;
class THvGroupBox;
} // namespace hv

namespace pruvell {

struct TConfigInfo;
struct TQ9Info;

// Modal results of the program's dialogs.
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2;

// The range the dialog's own text ("P_SetPINInfo") states to the user.
inline constexpr int stated_min_pin_length = 8;
inline constexpr int stated_max_pin_length = 16;
// The lengths a new PIN may have: the token's limits, with a minimum of at
// least 1 and a maximum of at most what a box holds. Limits that no PIN can
// meet (a maximum of 0, a minimum above the maximum) say nothing usable, and
// the stated range is taken instead.
struct TPinLengthRange {
    int min;
    int max;
};
TPinLengthRange NewPinLengthRange(uint32_t tokenMaxPinLen, uint32_t tokenMinPinLen);

class TUPinSetForm : public QDialog {
    Q_OBJECT
  public:
    static constexpr int prompt_mode = 100;

    // Fields set by the caller before the dialog is shown: the token's
    // maximum and minimum PIN length, and the mode (100 prompt, anything
    // else change).
    TUPinSetForm(QWidget* parent, uint32_t maxPinLen, uint32_t minPinLen, int mode);
    ~TUPinSetForm() override;

    int Mode() const { return mode_; }
    TPinLengthRange PinLengths() const { return range_; }

    // The components of the form.
    hv::THvGroupBox* HvGroupBox1 = nullptr; // change mode
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label7 = nullptr;
    hv::THvEdit* edtUPin = nullptr;
    hv::THvEdit* edtNewUPin1 = nullptr;
    hv::THvEdit* edtNewUPin2 = nullptr;
    hv::THvButton* btnOK = nullptr;
    hv::THvButton* btnNO = nullptr;
    QWidget* Panel2 = nullptr; // prompt mode
    QWidget* Panel1 = nullptr;
    QLabel* lmsg = nullptr;
    QLabel* Image1 = nullptr;
    QCheckBox* cbDefaultPIN = nullptr;
    hv::THvButton* btn1 = nullptr;
    hv::THvButton* btn2 = nullptr;

    // Handlers.
    void FormShow();
    void btnOKClick();
    void edtUPinChange();
    void edtUPinExit();
    void edtNewUPin1Change();
    void edtNewUPin1Exit();
    void edtNewUPin2Change();
    void edtNewUPin2Exit();
    // Enter or Down: the focus moves on. True when the key was taken.
    bool FormKeyDown(QWidget* sender, int key);
    bool edtNewUPin2KeyDown(int key);

    // Empties the three PIN boxes (and the memory Qt keeps for undo).
    void WipePins();

  protected:
    void showEvent(QShowEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    void ApplyPinFormLayout();
    void UpdateOkButton();
    uint32_t maxPinLen_;
    uint32_t minPinLen_;
    int mode_;
    TPinLengthRange range_;
};

// The Drumvale calls of the PIN check and change; the main form passes its
// own (tests put in fakes there).
struct TPinCalls {
    decltype(&::token_get_pin_state) token_get_pin_state = ::token_get_pin_state;
    decltype(&::token_login) token_login = ::token_login;
    decltype(&::token_logout) token_logout = ::token_logout;
    decltype(&::token_change_upin) token_change_upin = ::token_change_upin;
};

// The PIN-dialog-open flag: set while the default-PIN prompt and the change
// dialogs that follow it run. The settings action does nothing meanwhile.
bool PinDialogOpen();

// The user PIN change of the token at `tokenIndex` (the main form's current
// token), whose record gives the PIN lengths. 1 when the token rejected the
// old PIN, otherwise 0 (changed, cancelled, or failed otherwise).
int ChangeUserPin(QWidget* parent, uint32_t tokenIndex, const TQ9Info& token,
                  const TPinCalls& calls = {});

// The default-PIN check of the token (the main form's TCheckDefaultUPIN
// tick). `config` is the main form's settings record: the prompt's check box
// goes into DefaultPINMode and the record is written to "MgrConfig.ini".
void CheckDefaultPin(QWidget* parent, uint32_t tokenIndex, const TQ9Info& token,
                     TConfigInfo& config, const TPinCalls& calls = {});

} // namespace pruvell
