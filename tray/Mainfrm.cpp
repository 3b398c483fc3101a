#include "Mainfrm.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QFrame>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSessionManager>
#include <QTimer>

#include <cstdio>
#include <vector>

#include "CallIAQ9ProApis.h"
#include "DialogSupport.h"
#include "DownloadURL.h"
#include "MainFormHooks.h"
#include "MessageBoxes.h"
#include "ProjectConfigfrm.h"
#include "PruvellMain.h"
#include "ResStrs.h"
#include "TrayIcon.h"
#include "USBPIDUnit.h"
#include "Wtsapi.h"
#include "shell_open.h"
#include "untFunctionSysInfo.h"
#include "upinsetfrm.h"

// The program's resources live in the static library of its units.
static void InitPruvellResources() {
    Q_INIT_RESOURCE(Pruvell);
}

namespace pruvell {

TMainFormHooks& MainFormHooks() {
    static TMainFormHooks hooks;
    return hooks;
}

bool IsTokenProductId(uint32_t pid) {
    return pid == 0x0165 || pid == 0x0223 || pid == 0x0224 || pid == 0x0229;
}

// ------------------------------------------------------------ TTimer

TTimer::TTimer(QObject* owner, const char* name, int interval, std::function<void()> onTimer)
    : QObject(owner), timer_(new QTimer(this)), onTimer_(std::move(onTimer)) {
    setObjectName(QString::fromLatin1(name));
    timer_->setInterval(interval);
    connect(timer_, &QTimer::timeout, this, [this] { Tick(); });
}

bool TTimer::Enabled() const {
    return timer_->isActive();
}

void TTimer::SetEnabled(bool value) {
    if (value)
        timer_->start();
    else
        timer_->stop();
}

int TTimer::Interval() const {
    return timer_->interval();
}

void TTimer::SetInterval(int value) {
    timer_->setInterval(value);
}

void TTimer::Tick() {
    if (auto f = onTimer_) f(); // a copy: the handler may end the form
}

// ------------------------------------------------------------ construction

TMainForm::TMainForm(TMainFormOptions options, QWidget* parent)
    : QWidget(parent), options_(std::move(options)) {
    InitPruvellResources();
    setObjectName(QStringLiteral("MainForm"));
    BuildForm();
    // FormCreate.
    ApplyMainFormTexts();
    trayIcon1_->Loaded();
    StartUpMainForm();
    sessionRegistered_ = RegisterSessionNotification(this, NOTIFY_FOR_THIS_SESSION);
    qApp->installEventFilter(this); // the session hook
    connect(qApp, &QGuiApplication::commitDataRequest, this,
            [this](QSessionManager&) { QueryEndSession(); });
    // The tray window: commands from the token library and other programs.
    trayWindow_ = std::make_unique<TCopyDataWindow>(QString::fromLatin1(tray_window_class));
    if (!trayWindow_->listening())
        std::fprintf(stderr, "Pruvell: the tray window %s could not be opened\n",
                     tray_window_class);
    connect(trayWindow_.get(), &TCopyDataWindow::commandReceived, this,
            &TMainForm::HandleCopyDataCommand);
}

void TMainForm::BuildForm() {
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(401, 234);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    auto label = [this](const char* name, int x, int y, int w, int h) {
        auto* l = new QLabel(this);
        l->setObjectName(QString::fromLatin1(name));
        l->setGeometry(x, y, w, h);
        return l;
    };
    Image1 = label("Image1", 16, 16, 48, 48);
    Image1->setScaledContents(true);
    Label1 = label("Label1", 80, 16, 305, 22);
    QFont titleFont = Label1->font();
    titleFont.setBold(true);
    Label1->setFont(titleFont);
    lversion = label("lversion", 80, 42, 305, 18);
    Label4 = label("Label4", 80, 72, 80, 18);
    Label7 = label("Label7", 165, 72, 220, 18);
    Label5 = label("Label5", 80, 96, 80, 18);
    Label8 = label("Label8", 165, 96, 220, 18);
    Label6 = label("Label6", 80, 124, 305, 36);
    Label6->setWordWrap(true);
    for (QLabel* link : {Label7, Label8}) {
        link->setCursor(Qt::PointingHandCursor);
        link->setStyleSheet(QStringLiteral("color: #0000c0; text-decoration: underline;"));
    }
    auto* bevel = new QFrame(this);
    bevel->setObjectName(QStringLiteral("Bevel1"));
    bevel->setFrameShape(QFrame::HLine);
    bevel->setFrameShadow(QFrame::Sunken);
    bevel->setGeometry(12, 176, 377, 4);
    Button1 = new QPushButton(this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(306, 194, 80, 26);
    connect(Button1, &QPushButton::clicked, this, &TMainForm::Button1Click);

    auto action = [this](const char* name, void (TMainForm::*slot)()) {
        auto* a = new QAction(this);
        a->setObjectName(QString::fromLatin1(name));
        if (slot) connect(a, &QAction::triggered, this, slot);
        return a;
    };
    AcCheceSystem = action("AcCheceSystem", nullptr);
    AcShowMain = action("AcShowMain", &TMainForm::AcShowMainExecute);
    AcExit = action("AcExit", &TMainForm::AcExitExecute);
    AcAdvanced = action("AcAdvanced", &TMainForm::AcAdvancedExecute);
    AcAbout = action("AcAbout", &TMainForm::AcAboutExecute);

    popupMenu1_ = new TPopupMenu(this);
    popupMenu1_->setObjectName(QStringLiteral("PopupMenu1"));
    popupMenu1_->addAction(AcShowMain);
    popupMenu1_->addAction(AcAdvanced);
    popupMenu1_->addAction(AcExit);
    popupMenu1_->setDefaultAction(AcShowMain);

    trayIcon1_ = new TTrayIcon(this);
    trayIcon1_->setObjectName(QStringLiteral("TrayIcon1"));
    trayIcon1_->SetCycleInterval(400);
    trayIcon1_->PopupMenu = popupMenu1_;
    trayIcon1_->OnClick = [](QObject*) {
        QCoreApplication::processEvents(); // TrayIcon1Click
    };
    trayIcon1_->OnStartup = [](QObject*, bool& showMainForm) {
        showMainForm = false; // TrayIcon1Startup: the form stays hidden at start
    };

    const TMainFormTimings& t = options_.Timings;
    auto timer = [this](const char* name, int interval, void (TMainForm::*tick)()) {
        return new TTimer(this, name, interval, [this, tick] { (this->*tick)(); });
    };
    TFindUSBKey = timer("TFindUSBKey", t.FindUSBKey, &TMainForm::TFindUSBKeyTimer);
    TUSBRemove = timer("TUSBRemove", t.USBRemove, &TMainForm::TUSBRemoveTimer);
    TCheckDefaultUPIN =
        timer("TCheckDefaultUPIN", t.CheckDefaultUPIN, &TMainForm::TCheckDefaultUPINTimer);
    TCloseProject = timer("TCloseProject", t.CloseProject, &TMainForm::TCloseProjectTimer);
    TCheckInit = timer("TCheckInit", t.CheckInit, &TMainForm::TCheckInitTimer);
    // Two timers of the form that nothing starts; their ticks only stop them.
    TRegCert = new TTimer(this, "TRegCert", t.RegCert, [this] { TRegCert->SetEnabled(false); });
    TUnRegCert =
        new TTimer(this, "TUnRegCert", t.UnRegCert, [this] { TUnRegCert->SetEnabled(false); });
    TRegCertXE = timer("TRegCertXE", t.RegCertXE, &TMainForm::TRegCertXETimer);
    TAppUpdate = timer("TAppUpdate", t.AppUpdate, &TMainForm::TAppUpdateTimer);
    TimerHideMainForm =
        timer("TimerHideMainForm", t.HideMainForm, &TMainForm::TimerHideMainFormTimer);
}

TMainForm::~TMainForm() {
    qApp->removeEventFilter(this);
    // FormDestroy: the shut-down order.
    usb_.reset();
    const QByteArray provider = ProviderName().toUtf8();
    (void)options_.Drumvale.remove_all_certs_from_store(provider.constData());
    (void)SendCopyDataCommand(QStringLiteral("CLOSE"), QString::fromLatin1(manager_window_class));
    (void)options_.Drumvale.uninit_pkcs11();
    if (sessionRegistered_) UnregisterSessionNotification(this);
    trayWindow_.reset();
}

QString TMainForm::ProviderName() const {
    return Text(u"PROVIDER_NAME");
}

const TQ9Info& TMainForm::TokenInfo(int index) const {
    static const TQ9Info none{};
    return index >= 0 && index < max_tokens ? tokens_[static_cast<size_t>(index)] : none;
}

TTimer* TMainForm::Timer(const char* name) const {
    return findChild<TTimer*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly);
}

void TMainForm::ApplyMainFormTexts() {
    QFont f = font();
    const QString family = Text(u"FontName").trimmed();
    if (!family.isEmpty()) f.setFamily(family);
    bool ok = false;
    const int size = Text(u"FontSize").trimmed().toInt(&ok);
    if (ok && size > 0 && size < 72) f.setPointSize(size);
    setFont(f);
    AcShowMain->setText(Text(u"Main_Form_PopupMenu_listMain"));
    AcAdvanced->setText(Text(u"Main_Form_PopupMenu_Advanced"));
    AcCheceSystem->setText(Text(u"Main_Form_PopupMenu_CheceSystem"));
    AcAbout->setText(Text(u"Main_Form_PopupMenu_About"));
    AcExit->setText(Text(u"Main_Form_PopupMenu_Close"));
    setWindowTitle(Text(u"Main_Form_PopupMenu_About"));
    Label4->setText(Text(u"About_Form_Label_URL"));
    Label5->setText(Text(u"About_Form_Label_Email"));
    Label6->setText(Text(u"About_Form_label_CopyRight"));
    Label7->setText(Text(u"About_Form_Label_URL_Info"));
    Label8->setText(Text(u"About_Form_Label_Email_Info"));
    Label1->setText(Text(u"P_Caption"));
    lversion->setText(FileVersionString(QCoreApplication::applicationFilePath()));
    Button1->setText(Text(u"C_Btn_Confirm"));
    const QIcon icon(QStringLiteral(":/MAINICON.png"));
    Image1->setPixmap(icon.pixmap(48, 48));
    setWindowIcon(icon);
    trayIcon1_->SetIcon(icon);
    trayIcon1_->SetHint(Text(u"P_Caption"));
}

void TMainForm::StartUpMainForm() {
    findRetryCounter_ = 5;
    tokenCount_ = 0;
    currentTokenIndex_ = 0;
    usb_ = std::make_unique<TUSB>(options_.UsbSource ? options_.UsbSource() : nullptr);
    usb_->OnArrival = [this](TUSB* sender) { OnUsbArrival(sender); };
    usb_->OnRemoval = [this](TUSB* sender) { OnUsbRemoval(sender); };
    config_ = TConfigInfo{};
    QStringList problems;
    (void)ReadConfig(DataDirectory() + QStringLiteral("MgrConfig.ini"), config_, &problems);
    for (const QString& p : problems)
        std::fprintf(stderr, "Pruvell: %s\n", p.toUtf8().constData());
    TAppUpdate->SetEnabled(true);
    InitTokenLibrary();
    WriteCrossProcessValue(QString::number(config_.PINCache));
}

void TMainForm::InitTokenLibrary() {
    const QByteArray module = Text(u"PKCS11Name").toUtf8();
    // No configuration strings are set, so the plain start is used.
    const uint32_t rc = options_.Drumvale.init_pkcs11(module.constData());
    if (rc != 0) {
        std::fprintf(stderr, "Pruvell: the token library \"%s\" did not start (0x%08X)\n",
                     module.constData(), rc);
        tokenLibraryReady_ = false;
        TCloseProject->SetEnabled(true);
        return;
    }
    tokenLibraryReady_ = true;
    // A scan whose last connect failed still leaves the tokens it found.
    (void)ScanTokens();
    // Every token whose certificates could not be registered is reported,
    // not only the last one: an earlier failure would otherwise pass unseen.
    RegisterAllTokens(true, true);
}

// ------------------------------------------------------------ tokens

uint32_t TMainForm::FindAndConnect() {
    std::array<uint32_t, 32> ids{};
    uint32_t count = static_cast<uint32_t>(ids.size());
    uint32_t rc = options_.Drumvale.token_find(ids.data(), &count);
    // More tokens than the table holds: the first ones are looked after.
    if (rc == DRUMVALE_E_TOO_MANY_TOKENS) rc = 0;
    if (rc != 0 || count == 0) {
        tokenCount_ = 0;
        return 1;
    }
    if (count > static_cast<uint32_t>(max_tokens)) count = max_tokens;
    // A token that does not connect keeps none of the others from it; the
    // last connect gives the result.
    uint32_t last = 0;
    for (uint32_t i = 0; i < count; ++i)
        last = options_.Drumvale.token_connect(i);
    tokenCount_ = static_cast<int>(count);
    return last;
}

int TMainForm::ScanTokens() {
    previousTokenCount_ = tokenCount_;
    if (const uint32_t rc = FindAndConnect(); rc != 0) return static_cast<int>(rc);
    for (int i = 0; i < tokenCount_; ++i) {
        TQ9Info& info = tokens_[static_cast<size_t>(i)];
        info = TQ9Info{};
        const uint32_t rc = options_.Drumvale.token_get_info(
            static_cast<uint32_t>(i), info.Label, info.Manufacturer, info.Model, info.SerialNumber,
            &info.MaxPinLen, &info.MinPinLen, &info.Unused[0], &info.Unused[1], &info.Unused[2],
            &info.Unused[3], &info.Unused[4], &info.Unused[5], &info.Initialised);
        if (rc != 0) {
            tokenCount_ = 0;
            return static_cast<int>(rc);
        }
    }
    trayIcon1_->SetIconVisible(tokenCount_ > 0);
    currentTokenIndex_ = 0;
    return 0;
}

bool TMainForm::LoadContainerNames(int index, uint32_t& result) {
    TQ9Info& info = tokens_[static_cast<size_t>(index)];
    std::vector<char> buffer(container_buffer_size, '\0');
    uint32_t length = container_buffer_size;
    result =
        options_.Drumvale.container_load_all(static_cast<uint32_t>(index), buffer.data(), &length);
    info.ContainerCount = 0;
    // More containers than the record holds: the first ones are walked.
    if (result != 0 && result != DRUMVALE_E_TOO_MANY_CONTAINERS) return false;
    result = 0;
    for (const QString& n : SplitContainerNames(buffer.data(), length, container_buffer_size))
        info.ContainerNames[static_cast<size_t>(info.ContainerCount++)] = n;
    return true;
}

// Calls f(container, keySpec, certificate) for every certificate of the
// token that can be read, exchange key first; f returns false to stop.
template <typename F> void TMainForm::ForEachCertificate(int index, F&& f) {
    const TQ9Info& info = tokens_[static_cast<size_t>(index)];
    const auto token = static_cast<uint32_t>(index);
    std::vector<uint8_t> buffer(certificate_buffer_size);
    for (int c = 0; c < info.ContainerCount; ++c) {
        const QByteArray container = info.ContainerNames[static_cast<size_t>(c)].toUtf8();
        for (uint32_t keySpec : {1u, 2u}) {
            uint32_t length = certificate_buffer_size;
            if (options_.Drumvale.container_get_cert(token, container.constData(), keySpec,
                                                     buffer.data(), &length) != 0 ||
                length == 0 || length > certificate_buffer_size)
                continue;
            uint32_t algorithm = 0, bits = 0, keyLength = 0;
            uint8_t key[257] = {};
            (void)options_.Drumvale.container_get_pubkey(token, container.constData(), keySpec,
                                                         &algorithm, &bits, key, &keyLength);
            TQ9CertInfo cert;
            if (ReadCertInfo({buffer.begin(), buffer.begin() + length}, cert) != 0) continue;
            cert.KeyAlgorithm = algorithm;
            cert.KeyBits = bits;
            if (!f(container, keySpec, cert)) return;
        }
    }
}

uint32_t TMainForm::RegisterTokenCertificates(int index) {
    if (index < 0 || index >= tokenCount_ || index >= max_tokens) return DRUMVALE_E_BAD_INDEX;
    uint32_t result = 0;
    if (!LoadContainerNames(index, result)) return result;
    const QByteArray provider = ProviderName().toUtf8();
    ForEachCertificate(
        index, [&](const QByteArray& container, uint32_t keySpec, const TQ9CertInfo& cert) {
            const auto length = static_cast<uint32_t>(cert.Der.size());
            if (cert.Kind == 1 || cert.Kind == 2) {
                const std::u16string store = cert.Kind == 1 ? u"ROOT" : u"CA";
                (void)options_.Drumvale.helper_add_root_cert_to_store(
                    reinterpret_cast<const uint16_t*>(store.c_str()), cert.Der.data(), length);
                return true;
            }
            if (cert.Kind != 0) return true;
            const uint32_t rc = options_.Drumvale.container_addcert_to_store(
                container.constData(), provider.constData(), keySpec, cert.Der.data(), length);
            if (rc == 0) return true;
            result = rc + (keySpec == 1 ? 10000u : 20000u);
            return false;
        });
    return result;
}

void TMainForm::WarnExpiringCertificates(int index) {
    if (index < 0 || index >= tokenCount_ || index >= max_tokens) return;
    uint32_t result = 0;
    if (!LoadContainerNames(index, result)) return;
    ForEachCertificate(index, [&](const QByteArray&, uint32_t, const TQ9CertInfo& cert) {
        if (config_.CertTips != 1) return true;
        const int y = static_cast<int>(cert.NotAfter[0]), m = static_cast<int>(cert.NotAfter[1]),
                  d = static_cast<int>(cert.NotAfter[2]);
        if (IsExpiringWithin(y, m, d, config_.CertDay)) {
            const QString date = QString::asprintf("%.4d-%.2d-%.2d", y, m, d);
            ShowMessage(
                this,
                FormatText(QStringLiteral("%s(%s %s)"), {cert.Subject, date, Text(u"K_EndTime")}),
                TMessageKind::information, true);
        }
        return true;
    });
}

void TMainForm::ReportRegistrationFailure(uint32_t code, const char* pattern) {
    ShowMessage(this, FormatText(QString::fromUtf8(pattern), {static_cast<long long>(code)}),
                TMessageKind::information, true);
}

void TMainForm::RegisterAllTokens(bool reload, bool reportFailures) {
    QPointer<TMainForm> self = this;
    for (int i = 0; i < tokenCount_; ++i) {
        if (reload) (void)options_.Drumvale.token_reload_all_objects(static_cast<uint32_t>(i));
        const uint32_t rc = RegisterTokenCertificates(i);
        if (rc != 0 && reportFailures) ReportRegistrationFailure(rc, "注册证书失败，错误码 = %d");
        if (!self) return; // a message box's loop may have ended the form
    }
}

void TMainForm::ShowBalloon(const QString& text, int iconKind) {
    trayIcon1_->ShowBalloonHint(QString(), text, iconKind, 10);
}

// ------------------------------------------------------------ USB and session

void TMainForm::OnUsbArrival(TUSB* sender) {
    if (!tokenLibraryReady_ || !sender || !IsTokenProductId(sender->ProductId())) return;
    // The token's reader and card need a moment after the USB device appears.
    QPointer<TMainForm> self = this;
    QTimer::singleShot(options_.Timings.ArrivalPause, this, [self] {
        if (!self) return;
        self->findRetryCounter_ = self->options_.Timings.ArrivalRetries;
        QTimer::singleShot(self->options_.Timings.ArrivalSecondPause, self, [self] {
            if (self) self->TFindUSBKey->SetEnabled(true);
        });
    });
}

void TMainForm::OnUsbRemoval(TUSB* sender) {
    if (!tokenLibraryReady_ || !sender || !IsTokenProductId(sender->ProductId()) ||
        tokenCount_ == 0)
        return;
    bool allAnswer = true;
    for (int i = 0; i < tokenCount_ && allAnswer; ++i) {
        TQ9Info probe{};
        allAnswer = options_.Drumvale.token_get_info(
                        static_cast<uint32_t>(i), probe.Label, probe.Manufacturer, probe.Model,
                        probe.SerialNumber, &probe.MaxPinLen, &probe.MinPinLen, &probe.Unused[0],
                        &probe.Unused[1], &probe.Unused[2], &probe.Unused[3], &probe.Unused[4],
                        &probe.Unused[5], &probe.Initialised) == 0;
    }
    if (allAnswer) return; // the device that left was not one of our tokens
    const QByteArray provider = ProviderName().toUtf8();
    (void)options_.Drumvale.remove_all_certs_from_store(provider.constData());
    (void)FindAndConnect();
    for (int i = 0; i < tokenCount_; ++i) {
        TQ9Info& info = tokens_[static_cast<size_t>(i)];
        if (options_.Drumvale.token_get_info(
                static_cast<uint32_t>(i), info.Label, info.Manufacturer, info.Model,
                info.SerialNumber, &info.MaxPinLen, &info.MinPinLen, &info.Unused[0],
                &info.Unused[1], &info.Unused[2], &info.Unused[3], &info.Unused[4], &info.Unused[5],
                &info.Initialised) == 0)
            (void)RegisterTokenCertificates(i);
    }
    previousTokenCount_ = tokenCount_;
    CloseDialogs();
    ShowBalloon(Text(u"K_Key_Remove"), 1);
    TUSBRemove->SetEnabled(true);
}

void TMainForm::CloseDialogs() {
    // By window class, as the dialogs mark themselves; a dialog's modal
    // loop ends when it closes.
    for (const char16_t* cls : {u"TProjectConfigForm", u"TCheckSysForm", u"TUPinSetForm"})
        for (int n = 0; n < 8; ++n) {
            QWidget* w = FindWindowOfClass(QStringView(cls));
            if (w == nullptr || !w->close()) break;
        }
    // Only a question of ours is answered, never another program's window
    // that happens to have the same title.
    if (tokenCount_ <= 0) AnswerOpenQuestionsNo();
}

void TMainForm::RescanTokens() {
    if (--findRetryCounter_ == 0) {
        TFindUSBKey->SetEnabled(false);
        return;
    }
    if (ScanTokens() != 0) return;
    TFindUSBKey->SetEnabled(false);
    RegisterAllTokens(true, false);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease) {
        if (watched == Label7) Label7Click();
        if (watched == Label8) Label8Click();
    }
    // Session changes reach this window; a connect or an unlock looks for
    // the tokens again.
    if (watched == this && SessionChangeWantsRescan(event)) {
        findRetryCounter_ = 5;
        RescanTokens();
    }
    return QWidget::eventFilter(watched, event);
}

// ------------------------------------------------------------ commands

void TMainForm::HandleCopyDataCommand(const QString& text) {
    lastCommand_ = text;
    if (text.compare(QLatin1String("RegCert"), Qt::CaseInsensitive) == 0) {
        TRegCertXE->SetEnabled(true);
    } else if (text.compare(QLatin1String("Update"), Qt::CaseInsensitive) == 0) {
        TAppUpdate->SetEnabled(false);
        CancelUpdate();
    } else {
        ShowBalloon(text, 4);
    }
    emit commandHandled(text);
}

// ------------------------------------------------------------ timers

void TMainForm::TFindUSBKeyTimer() {
    const int32_t counter = findRetryCounter_--;
    if (counter == 1) {
        TFindUSBKey->SetEnabled(false); // no token came
        return;
    }
    if (ScanTokens() != 0) return; // keep polling
    TFindUSBKey->SetEnabled(false);
    if (tokenCount_ == previousTokenCount_) return;
    QPointer<TMainForm> self = this;
    ShowBalloon(Text(u"K_Key_Arrival"), 1);
    TCheckInit->SetEnabled(true);
    if (config_.URLOpenMode == 1) OpenUrl(this, config_.URL, config_.BrowserMode);
    for (int i = 0; i < tokenCount_; ++i) {
        (void)options_.Drumvale.token_reload_all_objects(static_cast<uint32_t>(i));
        if (const uint32_t rc = RegisterTokenCertificates(i); rc != 0)
            ReportRegistrationFailure(rc, "注册证书失败，错误码 =%d");
        if (!self) return;
    }
    if (config_.CertTips == 1)
        for (int i = 0; i < tokenCount_ && self; ++i)
            WarnExpiringCertificates(i);
    if (!self) return;
    if (tokenCount_ == 1) {
        TCheckDefaultUPIN->SetEnabled(true);
        AcShowMainExecute();
    }
}

void TMainForm::TUSBRemoveTimer() {
    TUSBRemove->SetEnabled(false);
    trayIcon1_->SetIconVisible(tokenCount_ > 0);
}

void TMainForm::TCheckDefaultUPINTimer() {
    TCheckDefaultUPIN->SetEnabled(false);
    if (auto hook = MainFormHooks().CheckDefaultPin) {
        hook(*this);
        return;
    }
    if (currentTokenIndex_ < 0 || currentTokenIndex_ >= tokenCount_) return;
    TPinCalls calls;
    calls.token_get_pin_state = options_.Drumvale.token_get_pin_state;
    calls.token_login = options_.Drumvale.token_login;
    calls.token_logout = options_.Drumvale.token_logout;
    calls.token_change_upin = options_.Drumvale.token_change_upin;
    CheckDefaultPin(this, static_cast<uint32_t>(currentTokenIndex_),
                    tokens_[static_cast<size_t>(currentTokenIndex_)], config_, calls);
}

void TMainForm::TCloseProjectTimer() {
    TCloseProject->SetEnabled(false);
    ShowMessage(this, Text(u"K_pkcs11Init_Error"), TMessageKind::question);
    exitRequested_ = true;
    close();
    // The form is the program: its closing ends the message loop.
    QCoreApplication::exit(0);
}

void TMainForm::TCheckInitTimer() {
    TCheckInit->SetEnabled(false);
    for (int i = 0; i < tokenCount_; ++i)
        if (tokens_[static_cast<size_t>(i)].Initialised == 0) {
            ShowBalloon(Text(u"Init_Info"), 4);
            return;
        }
}

void TMainForm::TRegCertXETimer() {
    TRegCertXE->SetEnabled(false);
    const QByteArray provider = ProviderName().toUtf8();
    (void)options_.Drumvale.remove_all_certs_from_store(provider.constData());
    RegisterAllTokens(true, false);
    (void)SendCopyDataCommand(QStringLiteral("LoadCert"),
                              QString::fromLatin1(manager_window_class));
}

void TMainForm::TAppUpdateTimer() {
    TAppUpdate->SetEnabled(false);
    // The check waits in event loops of its own; the form may end meanwhile.
    QPointer<TMainForm> self = this;
    pruvell::CheckForUpdate(this, [self] { return self.isNull() || self->exitRequested_; });
}

void TMainForm::TimerHideMainFormTimer() {
    TimerHideMainForm->SetEnabled(false);
    trayIcon1_->HideMainForm();
}

// ------------------------------------------------------------ actions

void TMainForm::AcShowMainExecute() {
    const QString program = ProgramDirectory() + Text(u"CallMainAppName").trimmed();
    (void)plat::shell_open(program.toStdString());
}

void TMainForm::AcAdvancedExecute() {
    auto hook = MainFormHooks().ShowSettings;
    if (!hook) {
        if (ExecuteSettingsAction(this, config_, languageInfo_)) ApplyMainFormTexts();
        return;
    }
    if (PinDialogOpen()) return;
    hook(*this);
    (void)ReadConfig(DataDirectory() + QStringLiteral("MgrConfig.ini"), config_);
    (void)ReadLanguageList(ProgramDirectory() + QStringLiteral("Languages/LanguageInfo.ini"),
                           languageInfo_);
    WriteCrossProcessValue(QString::number(config_.PINCache));
    ApplyMainFormTexts();
}

void TMainForm::AcAboutExecute() {
    aboutRequested_ = true;
    trayIcon1_->ShowMainForm();
    show();
    raise();
    activateWindow();
}

void TMainForm::AcExitExecute() {
    exitRequested_ = true;
    close();
    QCoreApplication::exit(0);
}

void TMainForm::Button1Click() {
    aboutRequested_ = false;
    hide();
}

void TMainForm::Label7Click() {
    (void)plat::shell_open(Label7->text().trimmed().toStdString());
}

void TMainForm::Label8Click() {
    (void)plat::shell_open(("mailto:" + Label8->text().trimmed()).toStdString());
}

bool TMainForm::QueryEndSession() {
    sessionEnding_ = true;
    return true;
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (exitRequested_ || sessionEnding_) {
        event->accept();
        return;
    }
    event->ignore();
    aboutRequested_ = false;
    hide();
}

void TMainForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // A show the user did not ask for (the toolkit showing the main form)
    // goes straight back to the tray; the about box stays until closed.
    if (!aboutRequested_) TimerHideMainForm->SetEnabled(true);
}

} // namespace pruvell
