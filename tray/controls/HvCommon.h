// Shared enumerations, colour arithmetic, borders and frames, the frame
// controller and the settings store of the control set.
#pragma once

#include "HvCanvas.h"

#include <QEvent>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QVariant>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace hv {

// ------------------------------------------------------------ enumerations

enum TFrameStyleEx : int {
    fsNone,
    fsFlat,
    fsGroove,
    fsBump,
    fsLowered,
    fsButtonDown,
    fsRaised,
    fsButtonUp,
    fsStatus,
    fsPopup,
    fsFlatBold,
    fsFlatRounded
};
using TFrameStyle = TFrameStyleEx; // fsNone .. fsFlatBold

enum TSide : int { sdLeft, sdTop, sdRight, sdBottom };
// A set of sides as a byte: bit 1 left, 2 top, 4 right, 8 bottom.
using TSides = std::uint8_t;
constexpr TSides sdAll = 15;
constexpr TSides SideBit(TSide s) {
    return TSides(1u << unsigned(s));
}
constexpr bool HasSide(TSides set, TSide s) {
    return (set & SideBit(s)) != 0;
}

enum TFramingPreference : int { fpCustomFraming, fpXPThemes };
enum THvGradientColorStyle : int { gcsSystem, gcsMSOffice, gcsCustom };
enum THvVisualStyle : int { vsClassic, vsWinXP, vsGradient };
enum THvHotTrackColorType : int { htctComplement, htctActual };
enum TAlignmentVertical : int { avTop, avCenter, avBottom };
enum TTextStyle : int { tsNormal, tsRaised, tsRecessed, tsShadow };
enum TOrientation : int { orHorizontal, orVertical };
enum TAlignment : int { taLeftJustify, taRightJustify, taCenter };
enum TGradientDirection : int {
    gdDiagonalUp,
    gdDiagonalDown,
    gdHorizontalEnd,
    gdHorizontalCenter,
    gdHorizontalBox,
    gdVerticalEnd,
    gdVerticalCenter,
    gdVerticalBox,
    gdSquareBox,
    gdBigSquareBox
};
enum THvAboutInfo : int { aiHalvardComponents };

enum THvFrameControllerProperty : int {
    fcpColor,
    fcpFocusColor,
    fcpDisabledColor,
    fcpReadOnlyColor,
    fcpReadOnlyColorOnFocus,
    fcpParentColor,
    fcpFlatButtonColor,
    fcpFlatButtons,
    fcpFrameColor,
    fcpFrameHotColor,
    fcpFrameHotTrack,
    fcpFrameHotStyle,
    fcpFrameSides,
    fcpFrameStyle,
    fcpFrameVisible,
    fcpFramingPreference,
    fcpAll
};
// Bit n = selector n.
using THvFrameControllerNotifications = std::uint16_t;
constexpr THvFrameControllerNotifications fcnAll = 0xFFFF;
constexpr bool HasNotification(THvFrameControllerNotifications set, THvFrameControllerProperty p) {
    return p < fcpAll && (set & (1u << unsigned(p))) != 0;
}

// ------------------------------------------------------------ geometry, text

TRect CenteredRect(const TRect& r, int w, int h);
// A font description rotated by Angle degrees (the escapement of a LOGFONT).
struct RotatedFont {
    QFont font;
    int escapement = 0; // tenths of a degree
};
RotatedFont CreateRotatedFont(const QFont& font, int angle);
int FontLineHeight(const QFont& font);
QString StripAccelChars(const QString& text);
inline int MinInt(int a, int b) {
    return a < b ? a : b;
}
inline int MaxInt(int a, int b) {
    return a > b ? a : b;
}
void RedrawNonClientFrame(QWidget* window);
void InvalidateTransparentChildren(QWidget* parent);
// The width of a vertical scroll bar (SM_CXVSCROLL of the classic metrics at
// 96 dots per inch), which the edit box's button strip takes.
constexpr int kSystemScrollBarWidth = 17;

// The notice a control sends its children when its colour changed, so that
// those with ParentColor set follow it.
extern const QEvent::Type ParentColorChangedEvent;
void NotifyParentColorChanged(QWidget* parent);
// A control's parent colour: the parent's Color property when it publishes
// one, else its background colour.
TColor ParentColorOf(const QWidget* control);

// The parent a control with ParentColor follows. A parent of the control set
// sends ParentColorChangedEvent itself; any other parent is watched, with the
// control as its event filter, for a change of its palette.
class TParentColorWatch {
  public:
    TParentColorWatch() = default;
    TParentColorWatch(const TParentColorWatch&) = delete;
    TParentColorWatch& operator=(const TParentColorWatch&) = delete;
    ~TParentColorWatch() { Watch(nullptr, nullptr); }
    // Watches `parent` for `control` (null: watches nothing).
    void Watch(QObject* control, QWidget* parent);
    // Whether `e`, seen by the control's event filter, is a palette change of
    // the watched parent.
    bool IsPaletteChange(const QObject* watched, const QEvent* e) const {
        return watched == watched_ && watched_ && e->type() == QEvent::PaletteChange;
    }

  private:
    QPointer<QWidget> watched_;
    QPointer<QObject> control_;
};

// ------------------------------------------------------------ colours

struct Hsl {
    int H = 0, S = 0, L = 0; // 0 .. 240
};
Hsl ColorToHsl(TColor c);
int HueOfColor(TColor c);
// Every hue is defined: the hue circle wraps, so 239 and 240 are reds.
std::uint32_t HslToColor(int h, int s, int l);
TColor DarkerColor(TColor c, int amount);
TColor LighterColor(TColor c, int amount);
// Amounts beyond +-255 are clamped; painting never fails on them.
TColor AdjustColor(TColor c, int amount);
TColor BlendColors(TColor a, TColor b, int weight);
bool ColorsAreClose(TColor a, TColor b);
TColor ContrastColor(TColor c, int l);

// Visual styles: this platform has none, so every control draws its classic
// look.
bool ThemeServicesActive();
TColor ThemedSystemColor(int kind);

// The Windows XP colour scheme (0 blue, 1 olive "HOMESTEAD", 2 "METALLIC").
int ReadXpColorScheme();
int XpColorScheme();         // read once, process-wide
void RefreshXpColorScheme(); // re-read after a theme change
void GradientDefaultColors(THvGradientColorStyle style, TColor& start, TColor& stop);
TColor GradientFrameColor(THvGradientColorStyle style);
void GradientPanelColors(THvGradientColorStyle style, TColor& dark, TColor& light, TColor& frame);

// True on a display with more than 256 colours. The override exists for
// tests of the palette branch.
bool ScreenIsFullColor();
void OverrideScreenIsFullColor(std::optional<bool> value);

// ------------------------------------------------------------ lines and borders

void PaintSides(Canvas& c, TRect r, TColor topLeft, TRect& inner, TSides sides, TColor bottomRight);
void PaintSidesRepeat(Canvas& c, TRect r, TColor topLeft, TRect& inner, TSides sides, int count,
                      TColor bottomRight);
void PaintBevel(Canvas& c, TRect r, bool sunken, TRect& inner, TSides sides = sdAll);
void PaintButtonBevel(Canvas& c, TRect r, bool down, TRect& inner);
void PaintButtonBevelSides(Canvas& c, TRect r, bool down, TRect& inner, TSides sides);
void PaintColorButtonBevel(Canvas& c, TRect r, TColor color, bool down, TRect& inner);
void PaintColorButtonBevelSides(Canvas& c, TRect r, TColor color, bool down, TRect& inner,
                                TSides sides);
void PaintStyledBorder(Canvas& c, TRect r, TFrameStyleEx style, TRect& inner);
void PaintStyledBorderSides(Canvas& c, TRect r, TFrameStyleEx style, TRect& inner, TSides sides);
void PaintColorStyledBorder(Canvas& c, TRect r, TColor color, TRect& inner, TFrameStyleEx style);
void PaintColorStyledBorderSides(Canvas& c, TRect r, TColor color, TRect& inner, TSides sides,
                                 TFrameStyleEx style);
void PaintBox(Canvas& c, TRect r, TColor color, TRect& inner);
void PaintFocusBox(Canvas& c, TRect r, TRect& inner);
void PaintRoundedFlatBorder(Canvas& c, TRect r, TColor color, TRect& inner, TSides sides);
void PaintEditFrame(Canvas& c, int w, int h, bool frameOnly, TSides sides, TColor frameColor,
                    TColor color, TFrameStyleEx style);
struct PanelBorder {
    TFrameStyleEx outer = fsNone;
    TFrameStyleEx innerStyle = fsNone;
    bool roundedSolid = false;
    bool transparent = false;
    TColor parentColor = clBtnFace;
    TColor color = clBtnFace;
    int flatAdjust = 0;
    TColor flatColor = clBtnShadow;
    TColor shadowColor = clBtnShadow;
    TColor highlightColor = clBtnHighlight;
    TColor borderColor = clBtnFace;
    int bevelWidth = 1;
    TSides sides = sdAll;
    int borderWidth = 0;
};
void PaintPanelBorder(Canvas& c, TRect r, const PanelBorder& b, TRect& inner);
void PaintGradientRing(Canvas& c, TRect r, TGradientDirection dir, TColor a, TColor b);

// Arrow glyphs. Direction: 0 up, 1 down, 2 left, 3 right.
void PaintDropDownArrow(Canvas& c, TRect r, bool themedStyle, bool enabled, bool pressed);
void PaintSpinArrow(Canvas& c, TRect r, bool themedStyle, bool enabled, bool pressed,
                    int direction);

// A system beep, as given for refused keys. Tests replace it to count beeps.
void MessageBeep();
void SetBeepHandler(std::function<void()> handler);

// The data-edit error of a masked edit that holds invalid input: by default a
// message box over the control's window. Tests replace it to record the text.
void ShowDataEditError(QWidget* control, const QString& message);
void SetDataEditErrorHandler(std::function<void(QWidget*, const QString&)> handler);
// The range error of a value that does not fit the type it is read as: shown
// the same way, with the toolkit's text.
QString RangeErrorMessage();
void ShowRangeError(QWidget* control);
void SetRangeErrorHandler(std::function<void(QWidget*, const QString&)> handler);

// The face of a drop-down button (the classic combo-box and scroll-down
// button): raised, or flat in shadow while pressed, with the arrow on top.
void PaintDropDownButtonFace(Canvas& c, TRect r, bool pressed, bool enabled);

// ------------------------------------------------------------ form streams

// The form-stream side of a control: properties are set by name while
// loading, obsolete names from old streams are read and mapped or dropped,
// and Loaded runs once all are in.
class HvStreamable {
  public:
    virtual ~HvStreamable() = default;
    bool IsLoading() const { return loading_; }
    void BeginLoading() { loading_ = true; }
    void EndLoading() {
        loading_ = false;
        Loaded();
    }
    // Whether a published property is written to a form stream.
    virtual bool IsStored(const char* /*name*/) const { return true; }
    // Reads an obsolete property; false when the name is not one.
    virtual bool ReadObsoleteProperty(const QString& /*name*/, const QVariant& /*value*/) {
        return false;
    }

  protected:
    virtual void Loaded() {}

  private:
    bool loading_ = false;
};

// Loads name/value pairs into obj as a form stream would: obsolete names
// first, then published properties. Unknown names are skipped; false then.
bool LoadProperties(QObject* obj, const QList<QPair<QString, QVariant>>& props);

// Reads obsolete values and drops them.
struct THvOldPropReader {
    static bool SkipBoolean(const QVariant& v) { return v.canConvert<bool>(); }
    static bool SkipIdent(const QVariant& v) { return v.canConvert<QString>(); }
    static bool SkipList(const QVariant& v) { return v.canConvert<QStringList>(); }
};
// Frame style by name ("fsFlat" ...); -1 when unknown.
int FrameStyleFromName(const QString& name);

// ------------------------------------------------------------ settings store

enum THvPathType : int { ptIniFile, ptRegistry };
enum THvRegKey : int {
    hkeyClassesRoot,
    hkeyCurrentUser,
    hkeyLocalMachine,
    hkeyUsers,
    hkeyPerformanceData,
    hkeyCurrentConfig,
    hkeyDynData
};
enum THvRegAccessKey : int {
    keyQueryValue,
    keySetValue,
    keyCreateSubKey,
    keyEnumerateSubKeys,
    keyNotify,
    keyCreateLink,
    keyRead,
    keyWrite,
    keyExecute,
    keyAllAccess
};
using THvRegAccess = std::uint16_t;                            // bit n = THvRegAccessKey n
constexpr THvRegAccess kDefaultRegAccess = 1u << keyAllAccess; // 0x200
enum THvSpecialFolder : int {
    sfNone,
    sfUserAppDataRoaming,
    sfUserAppDataLocal,
    sfUserDocuments,
    sfProgramData
};

// Values by section and key. The control set's own small interface, so that
// the store can later sit on any registry or INI back-end.
class HvKeyValueStore {
  public:
    virtual ~HvKeyValueStore() = default;
    virtual std::optional<QString> ReadString(const QString& section, const QString& key) const = 0;
    virtual bool WriteString(const QString& section, const QString& key, const QString& value) = 0;
};

// An INI file: sections and keys compare without case; writing replaces the
// file as a whole (temporary file, then rename), so a crash never leaves half
// a file.
class HvIniFileStore : public HvKeyValueStore {
  public:
    explicit HvIniFileStore(QString path) : path_(std::move(path)) {}
    std::optional<QString> ReadString(const QString& section, const QString& key) const override;
    bool WriteString(const QString& section, const QString& key, const QString& value) override;
    const QString& path() const { return path_; }

  private:
    QString path_;
};

// A registry key over a plain file per root: the key path and section form the
// INI section. The directory is $PRUVELL_REGISTRY_DIR, else
// $XDG_CONFIG_HOME/pruvell/registry (~/.config when unset).
class HvRegistryFileStore : public HvKeyValueStore {
  public:
    HvRegistryFileStore(THvRegKey root, QString keyPath, THvRegAccess access);
    std::optional<QString> ReadString(const QString& section, const QString& key) const override;
    bool WriteString(const QString& section, const QString& key, const QString& value) override;
    static QString FileFor(THvRegKey root);

  private:
    QString sectionName(const QString& section) const;
    HvIniFileStore file_;
    QString keyPath_;
    THvRegAccess access_;
};

class THvRegIniFile : public QObject, public HvStreamable {
    Q_OBJECT
    Q_PROPERTY(QString Path READ Path WRITE SetPath)
    Q_PROPERTY(int PathType READ PathType WRITE SetPathType)
    Q_PROPERTY(int RegKey READ RegKey WRITE SetRegKey)
    Q_PROPERTY(int RegAccess READ RegAccess WRITE SetRegAccess)
    Q_PROPERTY(int SpecialFolder READ SpecialFolder WRITE SetSpecialFolder)
  public:
    explicit THvRegIniFile(QObject* owner = nullptr);
    ~THvRegIniFile() override;

    QString Path() const { return path_; }
    int PathType() const { return pathType_; }
    int RegKey() const { return regKey_; }
    int RegAccess() const { return regAccess_; }
    int SpecialFolder() const { return specialFolder_; }
    virtual void SetPath(const QString& v);
    virtual void SetPathType(int v);
    virtual void SetRegKey(int v);
    virtual void SetRegAccess(int v);
    virtual void SetSpecialFolder(int v);
    bool SettingsChanged() const { return changed_; }

    // The published properties that a form stream would write (those not at
    // their defaults).
    QStringList StoredProperties() const;

    // Values through the configured target, opened on first use and reopened
    // after a setting changed.
    std::optional<QString> ReadString(const QString& section, const QString& key);
    bool WriteString(const QString& section, const QString& key, const QString& value);
    // Where an INI path resolves to, by SpecialFolder.
    QString ResolvedIniPath() const;

  private:
    HvKeyValueStore* target();
    QString path_;
    int pathType_ = ptIniFile;
    int regKey_ = hkeyCurrentUser;
    int regAccess_ = kDefaultRegAccess;
    int specialFolder_ = sfNone;
    bool changed_ = true;
    std::unique_ptr<HvIniFileStore> ini_;
    std::unique_ptr<HvRegistryFileStore> reg_;
};

// ------------------------------------------------------------ frame controller

// Controls that take a frame controller's settings themselves implement this
// instead of having them pushed property by property.
class IHvFrameControllerNotify {
  public:
    virtual ~IHvFrameControllerNotify() = default;
    virtual void FrameControllerChanged() = 0;
};

class THvFrameController : public QObject, public HvStreamable {
    Q_OBJECT
    Q_PROPERTY(int Color READ Color WRITE SetColor)
    Q_PROPERTY(int DisabledColor READ DisabledColor WRITE SetDisabledColor)
    Q_PROPERTY(int ReadOnlyColor READ ReadOnlyColor WRITE SetReadOnlyColor)
    Q_PROPERTY(bool ReadOnlyColorOnFocus READ ReadOnlyColorOnFocus WRITE SetReadOnlyColorOnFocus)
    Q_PROPERTY(int FlatButtonColor READ FlatButtonColor WRITE SetFlatButtonColor)
    Q_PROPERTY(bool FlatButtons READ FlatButtons WRITE SetFlatButtons)
    Q_PROPERTY(int FocusColor READ FocusColor WRITE SetFocusColor)
    Q_PROPERTY(int FrameColor READ FrameColor WRITE SetFrameColor)
    Q_PROPERTY(int FrameHotColor READ FrameHotColor WRITE SetFrameHotColor)
    Q_PROPERTY(int FrameHotStyle READ FrameHotStyle WRITE SetFrameHotStyle)
    Q_PROPERTY(bool FrameHotTrack READ FrameHotTrack WRITE SetFrameHotTrack)
    Q_PROPERTY(int FrameSides READ FrameSides WRITE SetFrameSides)
    Q_PROPERTY(int FrameStyle READ FrameStyle WRITE SetFrameStyle)
    Q_PROPERTY(bool FrameVisible READ FrameVisible WRITE SetFrameVisible)
    Q_PROPERTY(int FramingPreference READ FramingPreference WRITE SetFramingPreference)
    Q_PROPERTY(bool ParentColor READ ParentColor WRITE SetParentColor)
  public:
    explicit THvFrameController(QObject* owner = nullptr);
    ~THvFrameController() override;

    void AddControl(QObject* control);
    void RemoveControl(QObject* control);
    int ControlCount() const { return int(controls_.size()); }
    void BeginUpdate() { ++updateDepth_; }
    void EndUpdate();
    virtual void UpdateControl(QObject* control, THvFrameControllerProperty p);
    virtual void UpdateControls(THvFrameControllerProperty p);
    void Assign(const THvFrameController& src);

    int Color() const { return color_; }
    bool ParentColor() const { return parentColor_; }
    int FlatButtonColor() const { return flatButtonColor_; }
    bool FlatButtons() const { return flatButtons_; }
    int DisabledColor() const { return disabledColor_; }
    int ReadOnlyColor() const { return readOnlyColor_; }
    bool ReadOnlyColorOnFocus() const { return readOnlyColorOnFocus_; }
    int FocusColor() const { return focusColor_; }
    int FrameColor() const { return frameColor_; }
    int FrameHotColor() const { return frameHotColor_; }
    bool FrameHotTrack() const { return frameHotTrack_; }
    int FrameHotStyle() const { return frameHotStyle_; }
    int FrameSides() const { return frameSides_; }
    int FrameStyle() const { return frameStyle_; }
    bool FrameVisible() const { return frameVisible_; }
    int FramingPreference() const { return framingPreference_; }
    THvRegIniFile* RegIniFile() const { return regIniFile_; }

    virtual void SetColor(int v);
    virtual void SetParentColor(bool v);
    virtual void SetFlatButtonColor(int v);
    virtual void SetFlatButtons(bool v);
    virtual void SetDisabledColor(int v);
    virtual void SetReadOnlyColor(int v);
    virtual void SetReadOnlyColorOnFocus(bool v);
    virtual void SetFocusColor(int v);
    virtual void SetFrameColor(int v);
    virtual void SetFrameHotColor(int v);
    virtual void SetFrameHotTrack(bool v);
    virtual void SetFrameHotStyle(int v);
    virtual void SetFrameSides(int v);
    virtual void SetFrameStyle(int v);
    virtual void SetFrameVisible(bool v);
    virtual void SetFramingPreference(int v);
    virtual void SetRegIniFile(THvRegIniFile* v);

    bool IsStored(const char* name) const override;
    bool ReadObsoleteProperty(const QString& name, const QVariant& value) override;

  protected:
    void Loaded() override { UpdateControls(fcpAll); }

  private:
    void setIfPublished(QObject* control, const char* name, const QVariant& v);
    int updateDepth_ = 0;
    int color_ = clWindow;
    bool parentColor_ = false;
    int flatButtonColor_ = clBtnFace;
    bool flatButtons_ = true;
    int disabledColor_ = clBtnFace;
    int readOnlyColor_ = clInfoBk;
    bool readOnlyColorOnFocus_ = false;
    int focusColor_ = clWindow;
    int frameColor_ = clBtnShadow;
    int frameHotColor_ = clBtnShadow;
    bool frameHotTrack_ = false;
    int frameHotStyle_ = fsFlatBold;
    int frameSides_ = sdAll;
    int frameStyle_ = fsFlat;
    bool frameVisible_ = false;
    int framingPreference_ = fpXPThemes;
    QPointer<THvRegIniFile> regIniFile_;
    // Weak references: a control destroyed without unregistering drops out.
    QList<QPointer<QObject>> controls_;
};

} // namespace hv

Q_DECLARE_INTERFACE(hv::IHvFrameControllerNotify, "{64B1C9EA-C954-428A-95C4-4EA2EB0F1E16}")
