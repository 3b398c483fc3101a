#include "ProjectConfigfrm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>

#include <cmath>

#include "DialogSupport.h"
#include "HvEdit.h"
#include "HvSpnEdt.h"
#include "MessageBoxes.h"
#include "ProjectBase.h"
#include "PruvellMain.h"
#include "ResStrs.h"
#include "upinsetfrm.h"

namespace pruvell {

namespace {

constexpr const char* config_form_class = "TProjectConfigForm";
constexpr int url_max_length = 64;
constexpr int cert_day_max = 365;

QString ConfigPath() {
    return DataDirectory() + QStringLiteral("MgrConfig.ini");
}

template <typename W> W* Named(W* w, const char* name) {
    w->setObjectName(QString::fromLatin1(name));
    return w;
}

} // namespace

TProjectConfigForm::TProjectConfigForm(QWidget* parent) : QDialog(parent) {
    SetWindowClass(this, config_form_class);
    setObjectName(QStringLiteral("ProjectConfigForm"));
    // Single border, system menu only.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(400, 184);

    GroupBox1 = Named(new QGroupBox(this), "GroupBox1");
    GroupBox1->setGeometry(8, 8, 384, 134);

    cbCertDay = Named(new QCheckBox(GroupBox1), "cbCertDay");
    cbCertDay->setGeometry(12, 24, 220, 20);
    edtCertDay = Named(new hv::THvSpinEdit(GroupBox1), "edtCertDay");
    edtCertDay->setGeometry(236, 23, 64, 21);
    edtCertDay->SetMin(0);
    edtCertDay->SetMax(cert_day_max);
    edtCertDay->SetAllowKeyEdit(true);
    edtCertDay->SetFrameVisible(true);
    Label1 = Named(new QLabel(GroupBox1), "Label1");
    Label1->setGeometry(30, 48, 344, 17);
    cbDefaultPIN = Named(new QCheckBox(GroupBox1), "cbDefaultPIN");
    cbDefaultPIN->setGeometry(12, 74, 362, 20);
    cbPINCache = Named(new QCheckBox(GroupBox1), "cbPINCache");
    cbPINCache->setGeometry(12, 100, 362, 20);

    // Present but hidden: opening an address when a token arrives, and the
    // language choice.
    cbOpenURL = Named(new QCheckBox(GroupBox1), "cbOpenURL");
    cbOpenURL->setGeometry(12, 130, 362, 20);
    rb1 = Named(new QRadioButton(GroupBox1), "rb1");
    rb1->setGeometry(30, 152, 150, 20);
    rb1->setChecked(true);
    rb2 = Named(new QRadioButton(GroupBox1), "rb2");
    rb2->setGeometry(190, 152, 150, 20);
    edtURL = Named(new hv::THvEdit(GroupBox1), "edtURL");
    edtURL->setGeometry(30, 176, 330, 21);
    edtURL->setMaxLength(url_max_length);
    Label2 = Named(new QLabel(GroupBox1), "Label2");
    Label2->setGeometry(12, 206, 100, 17);
    cbLanguageID = Named(new QComboBox(GroupBox1), "cbLanguageID");
    cbLanguageID->setGeometry(120, 204, 150, 21);
    cbLanguageID->addItems({QStringLiteral("English"), QStringLiteral("Tiếng Việt")});
    for (QWidget* w : {static_cast<QWidget*>(cbOpenURL), static_cast<QWidget*>(rb1),
                       static_cast<QWidget*>(rb2), static_cast<QWidget*>(edtURL),
                       static_cast<QWidget*>(Label2), static_cast<QWidget*>(cbLanguageID)})
        w->hide();

    btnSave = Named(new QPushButton(this), "btnSave");
    btnSave->setGeometry(222, 150, 80, 25);
    btnSave->setDefault(true);
    Button1 = Named(new QPushButton(this), "Button1");
    Button1->setGeometry(312, 150, 80, 25);

    connect(btnSave, &QPushButton::clicked, this, &TProjectConfigForm::btnSaveClick);
    connect(Button1, &QPushButton::clicked, this, [this] { done(mrCancel); });
    connect(cbCertDay, &QCheckBox::clicked, this, &TProjectConfigForm::cbCertDayClick);
    connect(cbOpenURL, &QCheckBox::clicked, this, &TProjectConfigForm::cbOpenURLClick);
}

void TProjectConfigForm::showEvent(QShowEvent* e) {
    if (!e->spontaneous()) FormShow();
    QDialog::showEvent(e);
}

void TProjectConfigForm::FormShow() {
    ApplyConfigFormTexts();
    LoadConfigIntoForm();
}

void TProjectConfigForm::ApplyConfigFormTexts() {
    QFont f = font();
    const QString family = Text(u"FontName").trimmed();
    if (!family.isEmpty()) f.setFamily(family);
    bool ok = false;
    const int size = Text(u"FontSize").trimmed().toInt(&ok);
    if (ok && size > 0 && size < 72) f.setPointSize(size);
    setFont(f);
    setWindowTitle(Text(u"Main_Form_PopupMenu_Advanced"));
    GroupBox1->setTitle(Text(u"Config_Form_GroupBox"));
    cbOpenURL->setText(Text(u"Config_Form_CBOpenURL") + u':');
    rb1->setText(Text(u"Config_Form_RBtn1"));
    rb2->setText(Text(u"Config_Form_RBtn2"));
    cbCertDay->setText(Text(u"Config_Form_CBCertday") + u':');
    Label1->setText(Text(u"Config_Form_Lable"));
    btnSave->setText(Text(u"Config_Form_btnSave"));
    Button1->setText(Text(u"C_Btn_Cancel"));
    Label2->setText(Text(u"Config_Form_Language"));
    cbDefaultPIN->setText(Text(u"Config_Form_DefaultPIN"));
    cbPINCache->setText(Text(u"P_PINCache"));
}

void TProjectConfigForm::LoadConfigIntoForm() {
    TConfigInfo config;
    const bool read = ReadConfig(ConfigPath(), config) == 0;
    if (read) {
        cbOpenURL->setChecked(config.URLOpenMode == 1);
        edtURL->setText(config.URL);
        rb2->setChecked(config.BrowserMode != 0);
        rb1->setChecked(config.BrowserMode == 0);
        cbCertDay->setChecked(config.CertTips == 1);
        edtCertDay->SetValue(config.CertDay);
    }
    cbOpenURLClick();
    cbCertDayClick();
    // A settings file that cannot be read counts as a cleared record here.
    cbDefaultPIN->setChecked(read && config.DefaultPINMode == 1);
    cbPINCache->setChecked(read && config.PINCache == 1);
}

void TProjectConfigForm::cbOpenURLClick() {
    const bool on = cbOpenURL->isChecked();
    edtURL->setEnabled(on);
    rb1->setEnabled(on);
    rb2->setEnabled(on);
}

void TProjectConfigForm::cbCertDayClick() {
    edtCertDay->setEnabled(cbCertDay->isChecked());
}

void TProjectConfigForm::btnSaveClick() {
    if (cbOpenURL->isChecked() && edtURL->text().isEmpty()) {
        ShowMessage(this, Text(u"S_URLNull"), TMessageKind::information);
        edtURL->setFocus();
        return;
    }
    if (!cbOpenURL->isChecked()) edtURL->clear();

    TConfigInfo config;
    config.URLOpenMode = cbOpenURL->isChecked() ? 1 : 0;
    config.URL = edtURL->text().trimmed();
    config.BrowserMode = rb2->isChecked() ? 1 : 0;
    config.CertTips = cbCertDay->isChecked() ? 1 : 0;
    // The spin value, kept within its range even while a typed value has not
    // been reformatted yet.
    config.CertDay =
        static_cast<int32_t>(std::lround(double(edtCertDay->ClampToRange(edtCertDay->Value()))));
    config.LanguageID = 0;
    config.DefaultPINMode = cbDefaultPIN->isChecked() ? 1 : 0;
    config.PINCache = cbPINCache->isChecked() ? 1 : 0;

    if (WriteConfig(ConfigPath(), config) != 0)
        ShowMessage(this, Text(u"S_Save_No"), TMessageKind::information);
    else
        ShowMessage(this, Text(u"S_Save_Yes"), TMessageKind::information);
    done(mrOk);
}

bool ExecuteSettingsAction(QWidget* parent, TConfigInfo& config, TLanguageInfo& languages) {
    if (PinDialogOpen()) return false;
    if (QWidget* open = FindWindowOfClass(u"TProjectConfigForm")) {
        BringToFront(open);
        return false;
    }
    {
        QPointer<TProjectConfigForm> form = new TProjectConfigForm(parent);
        (void)form->exec();
        delete form.data();
    }
    (void)ReadConfig(ConfigPath(), config);
    (void)ReadLanguageList(ProgramDirectory() + QStringLiteral("Languages/LanguageInfo.ini"),
                           languages);
    WriteCrossProcessValue(QString::number(config.PINCache));
    return true;
}

} // namespace pruvell
