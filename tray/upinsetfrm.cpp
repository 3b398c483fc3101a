#include "upinsetfrm.h"

#include <QCheckBox>
#include <QEvent>
#include <QFont>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QScopeGuard>
#include <QStyle>

#include <algorithm>

#include "CerMgrApis.h"
#include "DialogSupport.h"
#include "HvButton.h"
#include "HvEdit.h"
#include "HvPanel.h"
#include "MessageBoxes.h"
#include "ProjectBase.h"
#include "ResStrs.h"

namespace pruvell {

namespace {

constexpr const char* pin_form_class = "TUPinSetForm";
constexpr int old_pin_max_length = 16;
constexpr uint32_t box_length_limit = 32767; // QLineEdit's own largest maximum

// PKCS#11 v2.20 return values that mean "the token refused this PIN".
constexpr uint32_t ckr_pin_incorrect = 0xA0;
constexpr uint32_t ckr_pin_invalid = 0xA1;
constexpr uint32_t ckr_pin_len_range = 0xA2;
constexpr uint32_t ckr_pin_locked = 0xA4;

bool pin_dialog_open = false;

bool IsPinRefused(uint32_t rv) {
    return rv == ckr_pin_incorrect || rv == ckr_pin_invalid || rv == ckr_pin_len_range ||
           rv == ckr_pin_locked;
}

// Length in characters (a character outside the BMP counts once).
int CharacterCount(const QString& text) {
    return static_cast<int>(text.toUcs4().size());
}

void ApplyFormFont(QWidget* form) {
    QFont f = form->font();
    const QString family = Text(u"FontName").trimmed();
    if (!family.isEmpty()) f.setFamily(family);
    bool ok = false;
    const int size = Text(u"FontSize").trimmed().toInt(&ok);
    if (ok && size > 0 && size < 72) f.setPointSize(size);
    form->setFont(f);
}

QLabel* MakeLabel(QWidget* parent, const char* name, int x, int y, int w, int h) {
    auto* l = new QLabel(parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(x, y, w, h);
    return l;
}

hv::THvEdit* MakePinEdit(QWidget* parent, const char* name, int x, int y) {
    auto* e = new hv::THvEdit(parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setGeometry(x, y, 150, 21);
    e->SetPasswordChar(QStringLiteral("*"));
    e->setMaxLength(old_pin_max_length);
    e->SetFrameVisible(true);
    return e;
}

hv::THvButton* MakeButton(QWidget* parent, const char* name, int x, int y) {
    auto* b = new hv::THvButton(parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(x, y, 75, 25);
    return b;
}

// Sets the PIN-dialog-open flag for the life of the object.
class PinDialogFlag {
  public:
    PinDialogFlag() { pin_dialog_open = true; }
    ~PinDialogFlag() { pin_dialog_open = false; }
    PinDialogFlag(const PinDialogFlag&) = delete;
    PinDialogFlag& operator=(const PinDialogFlag&) = delete;
};

struct pin_state {
    uint32_t remaining = 0, maximum = 0, count_low = 0, final_try = 0, locked = 0, is_default = 0;
};

bool ReadPinState(const TPinCalls& calls, uint32_t index, pin_state& s) {
    return calls.token_get_pin_state(index, 1, &s.remaining, &s.maximum, &s.count_low, &s.final_try,
                                     &s.locked, &s.is_default) == 0;
}

} // namespace

TPinLengthRange NewPinLengthRange(uint32_t tokenMaxPinLen, uint32_t tokenMinPinLen) {
    if (tokenMaxPinLen == 0 || tokenMinPinLen > tokenMaxPinLen)
        return {stated_min_pin_length, stated_max_pin_length};
    const auto box_length = [](uint32_t n) {
        return static_cast<int>(std::min<uint32_t>(n, box_length_limit));
    };
    return {std::max(box_length(tokenMinPinLen), 1), box_length(tokenMaxPinLen)};
}

bool PinDialogOpen() {
    return pin_dialog_open;
}

// ---------------------------------------------------------------- the form

TUPinSetForm::TUPinSetForm(QWidget* parent, uint32_t maxPinLen, uint32_t minPinLen, int mode)
    : QDialog(parent), maxPinLen_(maxPinLen), minPinLen_(minPinLen), mode_(mode),
      range_(NewPinLengthRange(maxPinLen, minPinLen)) {
    SetWindowClass(this, pin_form_class);
    setObjectName(QStringLiteral("UPinSetForm"));
    // Single border, system menu only; topmost (FormCreate).
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, hv::ToQColor(hv::clBtnFace));
    setPalette(pal);

    // The change-mode page.
    HvGroupBox1 = new hv::THvGroupBox(this);
    HvGroupBox1->setObjectName(QStringLiteral("HvGroupBox1"));
    HvGroupBox1->setGeometry(11, 8, 340, 216);
    Label7 = MakeLabel(HvGroupBox1, "Label7", 14, 12, 312, 54);
    Label7->setWordWrap(true);
    Label7->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label1 = MakeLabel(HvGroupBox1, "Label1", 14, 77, 110, 17);
    Label2 = MakeLabel(HvGroupBox1, "Label2", 14, 107, 110, 17);
    Label3 = MakeLabel(HvGroupBox1, "Label3", 14, 137, 110, 17);
    edtUPin = MakePinEdit(HvGroupBox1, "edtUPin", 126, 74);
    edtNewUPin1 = MakePinEdit(HvGroupBox1, "edtNewUPin1", 126, 104);
    edtNewUPin2 = MakePinEdit(HvGroupBox1, "edtNewUPin2", 126, 134);
    Label4 = MakeLabel(HvGroupBox1, "Label4", 284, 77, 40, 17);
    Label5 = MakeLabel(HvGroupBox1, "Label5", 284, 107, 40, 17);
    Label6 = MakeLabel(HvGroupBox1, "Label6", 284, 137, 40, 17);
    btnOK = MakeButton(HvGroupBox1, "btnOK", 90, 176);
    btnNO = MakeButton(HvGroupBox1, "btnNO", 180, 176);
    btnNO->SetCancel(true);
    btnNO->SetModalResult(mrCancel);
    setTabOrder(edtUPin, edtNewUPin1);
    setTabOrder(edtNewUPin1, edtNewUPin2);
    setTabOrder(edtNewUPin2, btnOK);
    setTabOrder(btnOK, btnNO);

    // The prompt-mode page.
    Panel2 = new QWidget(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setGeometry(0, 0, 360, 140);
    Panel1 = new QWidget(Panel2);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(0, 0, 360, 96);
    Image1 = MakeLabel(Panel1, "Image1", 16, 16, 32, 32);
    lmsg = MakeLabel(Panel1, "lmsg", 60, 16, 284, 40);
    lmsg->setWordWrap(true);
    lmsg->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    cbDefaultPIN = new QCheckBox(Panel1);
    cbDefaultPIN->setObjectName(QStringLiteral("cbDefaultPIN"));
    cbDefaultPIN->setGeometry(60, 64, 284, 20);
    btn1 = MakeButton(Panel2, "btn1", 96, 104);
    btn1->SetModalResult(mrOk);
    btn1->SetDefault(true);
    btn2 = MakeButton(Panel2, "btn2", 190, 104);
    btn2->SetModalResult(mrCancel);
    btn2->SetCancel(true);

    connect(edtUPin, &QLineEdit::textChanged, this, &TUPinSetForm::edtUPinChange);
    connect(edtNewUPin1, &QLineEdit::textChanged, this, &TUPinSetForm::edtNewUPin1Change);
    connect(edtNewUPin2, &QLineEdit::textChanged, this, &TUPinSetForm::edtNewUPin2Change);
    connect(btnOK, &hv::THvButton::clicked, this, &TUPinSetForm::btnOKClick);
    for (QWidget* w : {static_cast<QWidget*>(edtUPin), static_cast<QWidget*>(edtNewUPin1),
                       static_cast<QWidget*>(edtNewUPin2), static_cast<QWidget*>(btnOK),
                       static_cast<QWidget*>(btnNO)})
        w->installEventFilter(this);
    installEventFilter(this);
}

TUPinSetForm::~TUPinSetForm() {
    WipePins();
}

void TUPinSetForm::WipePins() {
    for (hv::THvEdit* e : {edtUPin, edtNewUPin1, edtNewUPin2})
        if (e != nullptr) e->setText(QString()); // also drops the undo history
}

void TUPinSetForm::showEvent(QShowEvent* e) {
    if (!e->spontaneous()) FormShow();
    QDialog::showEvent(e);
}

void TUPinSetForm::FormShow() {
    ApplyPinFormLayout();
}

void TUPinSetForm::ApplyPinFormLayout() {
    ApplyFormFont(this);
    if (mode_ == prompt_mode) {
        HvGroupBox1->hide();
        Panel2->show();
        setWindowTitle(Text(u"P_MSGTitle"));
        setFixedSize(Panel2->size());
        Panel2->move(0, 0);
        btn1->SetCaption(Text(u"Btn_Yes"));
        btn2->SetCaption(Text(u"Btn_No"));
        lmsg->setText(Text(u"K_DefaultUPINInfo"));
        cbDefaultPIN->setText(Text(u"P_DefaultPIN_Info"));
        Image1->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxQuestion).pixmap(32, 32));
        return;
    }
    setWindowTitle(Text(u"Main_Form_btn_SetUPIN"));
    Label7->setText(Text(u"P_SetPINInfo"));
    Label1->setText(Text(u"UPINSet_Form_OldPIN"));
    Label2->setText(Text(u"UPINSet_Form_NewPIN1"));
    Label3->setText(Text(u"UPINSet_Form_NewPIN2"));
    btnOK->SetCaption(Text(u"C_Btn_Confirm"));
    btnNO->SetCaption(Text(u"C_Btn_Cancel"));
    HvGroupBox1->move(11, 8);
    setFixedSize(HvGroupBox1->width() + 30, HvGroupBox1->height() + 30);
    Panel2->hide();
    HvGroupBox1->show();
    edtNewUPin1->setMaxLength(range_.max);
    edtNewUPin2->setMaxLength(range_.max);
    // A PIN this dialog lets the user set must fit the old-PIN box of the
    // next change, or it could never be given again.
    edtUPin->setMaxLength(std::max(old_pin_max_length, range_.max));
}

void TUPinSetForm::edtUPinChange() {
    Label4->setText(QString::number(CharacterCount(edtUPin->text())));
}

void TUPinSetForm::edtUPinExit() {
    Label4->clear();
}

void TUPinSetForm::UpdateOkButton() {
    btnOK->setEnabled(CharacterCount(edtNewUPin1->text()) >= range_.min &&
                      CharacterCount(edtNewUPin2->text()) >= range_.min);
}

void TUPinSetForm::edtNewUPin1Change() {
    Label5->setText(QString::number(CharacterCount(edtNewUPin1->text())));
    UpdateOkButton();
}

void TUPinSetForm::edtNewUPin1Exit() {
    Label5->clear();
}

void TUPinSetForm::edtNewUPin2Change() {
    Label6->setText(QString::number(CharacterCount(edtNewUPin2->text())));
    UpdateOkButton();
}

void TUPinSetForm::edtNewUPin2Exit() {
    Label6->clear();
}

bool TUPinSetForm::FormKeyDown(QWidget* sender, int key) {
    if (key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Down) return false;
    if (sender == this) {
        focusNextChild();
        return true;
    }
    // The next control in the tab order that can take the focus, as
    // SelectNext finds it.
    QWidget* next = sender->nextInFocusChain();
    while (next != sender &&
           !(next->isEnabled() && next->isVisible() && (next->focusPolicy() & Qt::TabFocus)))
        next = next->nextInFocusChain();
    next->setFocus(Qt::TabFocusReason);
    return true;
}

bool TUPinSetForm::edtNewUPin2KeyDown(int key) {
    if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
    if (CharacterCount(edtUPin->text()) > 3 && CharacterCount(edtNewUPin1->text()) > 3)
        btnOKClick();
    return true;
}

bool TUPinSetForm::eventFilter(QObject* watched, QEvent* e) {
    auto* w = qobject_cast<QWidget*>(watched);
    if (w == nullptr) return false;
    switch (e->type()) {
    case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent*>(e)->key();
        if (w == edtNewUPin2) return edtNewUPin2KeyDown(key);
        if (w == this && focusWidget() != nullptr && focusWidget() != this) return false;
        return FormKeyDown(w, key);
    }
    case QEvent::FocusIn:
        if (w == edtUPin) edtUPinChange();
        if (w == edtNewUPin1) edtNewUPin1Change();
        if (w == edtNewUPin2) edtNewUPin2Change();
        return false;
    case QEvent::FocusOut:
        if (w == edtUPin) edtUPinExit();
        if (w == edtNewUPin1) edtNewUPin1Exit();
        if (w == edtNewUPin2) edtNewUPin2Exit();
        return false;
    default:
        return false;
    }
}

void TUPinSetForm::btnOKClick() {
    const QString pin1 = edtNewUPin1->text();
    if (pin1 != edtNewUPin2->text()) {
        ShowQuestionIconMessage(this, Text(u"S_PIN_equal"));
        return;
    }
    // The token counts the bytes of the PIN it is given (PKCS#11 v2.20
    // ulMaxPinLen); a character beyond ASCII takes more than one of them.
    if (CharacterCount(pin1) < range_.min || pin1.toUtf8().size() > range_.max) {
        ShowMessage(
            this,
            FormatText(QStringLiteral("%s(%d--%d)"), {Text(u"UPIN_E2"), range_.min, range_.max}),
            TMessageKind::information);
        return;
    }
    done(mrOk);
}

// ------------------------------------------------------ the main form's side

int ChangeUserPin(QWidget* parent, uint32_t tokenIndex, const TQ9Info& token,
                  const TPinCalls& calls) {
    if (QWidget* open = FindWindowOfClass(u"TupinsetForm")) {
        BringToFront(open);
        return 0;
    }
    QByteArray old_pin, new_pin;
    const auto wipe = qScopeGuard([&] {
        old_pin.fill('\0');
        new_pin.fill('\0');
    });
    {
        QPointer<TUPinSetForm> form = new TUPinSetForm(parent, token.MaxPinLen, token.MinPinLen, 0);
        const int result = form->exec();
        if (form.isNull()) return 0; // closed with its owner
        if (result == mrOk) {
            old_pin = form->edtUPin->text().toUtf8();
            new_pin = form->edtNewUPin1->text().toUtf8();
        }
        delete form.data();
    }
    if (old_pin.isEmpty()) return 0;

    uint32_t retries = DRUMVALE_RETRIES_UNKNOWN;
    uint32_t rv = calls.token_login(tokenIndex, old_pin.constData(), &retries);
    if (rv != 0) {
        if (!IsPinRefused(rv)) {
            // Not a verdict on the PIN (the token left, a device error):
            // report the code instead of "wrong PIN".
            ShowMessage(parent, Text(u"K_Set_No") + Text(u"K_ErrorCODE_Str") + QString::number(rv),
                        TMessageKind::information);
            return 0;
        }
        pin_state state;
        if (retries == DRUMVALE_RETRIES_UNKNOWN && ReadPinState(calls, tokenIndex, state))
            retries = state.remaining;
        QString text = Text(u"K_OldCheck");
        if (retries == DRUMVALE_RETRIES_UNKNOWN)
            text.replace(QStringLiteral("%d"), QStringLiteral("?"));
        else
            text = FormatText(text, {static_cast<long long>(retries)});
        ShowMessage(parent, text, TMessageKind::information);
        return 1;
    }
    (void)calls.token_logout(tokenIndex);
    rv = calls.token_change_upin(tokenIndex, old_pin.constData(), new_pin.constData());
    if (rv != 0)
        ShowMessage(parent, Text(u"K_Set_No") + Text(u"K_ErrorCODE_Str") + QString::number(rv),
                    TMessageKind::information);
    else
        ShowMessage(parent, Text(u"K_Set_Yes"), TMessageKind::information);
    return 0;
}

void CheckDefaultPin(QWidget* parent, uint32_t tokenIndex, const TQ9Info& token,
                     TConfigInfo& config, const TPinCalls& calls) {
    if (config.DefaultPINMode != 1) return;
    pin_state state;
    if (!ReadPinState(calls, tokenIndex, state)) return;
    if (state.locked == 1) {
        ShowMessage(parent, Text(u"K_Dead"), TMessageKind::information);
        return;
    }
    if (state.is_default != 1) return;

    const PinDialogFlag flag;
    int answer = 0;
    bool show_again = true;
    {
        QPointer<TUPinSetForm> prompt =
            new TUPinSetForm(parent, token.MaxPinLen, token.MinPinLen, TUPinSetForm::prompt_mode);
        prompt->cbDefaultPIN->setChecked(true);
        answer = prompt->exec();
        if (prompt.isNull()) return;
        show_again = prompt->cbDefaultPIN->isChecked();
        delete prompt.data();
    }
    config.DefaultPINMode = show_again ? 1 : 0;
    (void)WriteConfig(DataDirectory() + QStringLiteral("MgrConfig.ini"), config);
    if (answer != mrOk) return;

    for (;;) {
        if (ChangeUserPin(parent, tokenIndex, token, calls) != 1) break;
        if (!ReadPinState(calls, tokenIndex, state)) continue;
        if (state.locked == 1) {
            ShowMessage(parent, Text(u"K_Dead"), TMessageKind::information);
            break;
        }
        if (state.is_default != 1) break;
    }
}

} // namespace pruvell
