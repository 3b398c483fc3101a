// The text table: every text the program shows, and a few file and provider
// names, by key. Each starts with its compiled-in default and is replaced by
// LoadLanguageFile from the language file chosen at start-up.
//
// Language texts are never used as printf formats: FormatText puts the
// caller's values into the "%d" and "%s" places of a text and treats every
// other '%' as an ordinary character, so a language file (which lives in a
// directory the user can write) cannot make the program read or write
// memory through a format directive.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <initializer_list>

namespace pruvell {

inline constexpr int text_key_count = 203;

struct TTextRow {
    const char* key;
    bool space_when_missing; // a key missing from a file gives " " (else "")
    const char* chinese;     // compiled-in default
    const char* english;     // "EN_1033.lng"
    const char* vietnamese;  // "VN_1066.lng"
};

extern const TTextRow text_rows[text_key_count];

enum class TLanguage { english, vietnamese };

// The text of a key (any case); empty for a key that is not in the table.
QString Text(QStringView key);

// Back to the compiled-in defaults.
void ResetTexts();

enum class TLanguageLoad { loaded, missing, unreadable };

// Fills the table from a language file (section "Caption"). A file that is
// missing, or cannot be read as text, leaves the table as it is.
TLanguageLoad LoadLanguageFile(const QString& path);

// The shipped language file, byte for byte as it is written to the data
// directory: UTF-16LE with a byte-order mark, section "[Caption]", one line
// per key (the key padded with spaces, "=", the value).
QByteArray LanguageFileBytes(TLanguage language);

// One value for FormatText.
class TFormatArg {
  public:
    TFormatArg(int value) : integer_(true), number_(value) {}
    TFormatArg(long value) : integer_(true), number_(value) {}
    TFormatArg(long long value) : integer_(true), number_(value) {}
    TFormatArg(unsigned value) : integer_(true), number_(value) {}
    TFormatArg(const QString& value) : integer_(false), text_(value) {}
    TFormatArg(const char* value) : integer_(false), text_(QString::fromUtf8(value)) {}

    bool is_integer() const { return integer_; }
    long long number() const { return number_; }
    const QString& text() const { return text_; }

  private:
    bool integer_;
    long long number_ = 0;
    QString text_;
};

// Fills the "%d" and "%s" places of `pattern` with `args` in order: "%d"
// takes the next value if it is an integer, "%s" the next if it is a text.
// "%%" is one '%'. A place whose value is missing or of the other kind, and
// every other '%', stay as written.
QString FormatText(const QString& pattern, std::initializer_list<TFormatArg> args);

} // namespace pruvell
