// The INI engine behind the settings file, the language files and the
// language list: the behaviour of the Windows profile functions
// (GetPrivateProfileString / WritePrivateProfileString) on one file.
//
// - Encoding: UTF-16 little-endian with a byte-order mark, UTF-8 with a mark,
//   or 8-bit text (UTF-8 when it is valid UTF-8, else Latin-1). A file is
//   written back in the encoding it was read in.
// - Section and key names compare without regard to case; the first of
//   several equal keys counts. Blanks around names and values are dropped,
//   and one pair of double quotes around a value is removed (so a value can
//   keep leading or trailing blanks).
// - Writing a key replaces its value where it stands (the rest of the file,
//   comments included, stays as it was) or appends it to its section, or
//   appends the section. The file is replaced atomically.
#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

namespace pruvell {

enum class TIniLoad {
    ok,
    missing,    // no such file: an empty file
    unreadable, // exists but cannot be read (rights, not a file, too large)
    corrupt,    // not text: NUL bytes in 8-bit text, half a UTF-16 unit, bad surrogates
};

enum class TIniEncoding { utf16le_bom, utf8_bom, eight_bit };

class TIniFile {
  public:
    explicit TIniFile(QString path);

    TIniLoad loadStatus() const { return status_; }
    const QString& fileName() const { return path_; }

    QString ReadString(const QString& section, const QString& key, const QString& def) const;
    // The value as a decimal integer; `def` when the key is missing or its
    // value is not a number that fits 32 bits (`*valid` tells which).
    int ReadInteger(const QString& section, const QString& key, int def,
                    bool* valid = nullptr) const;
    bool KeyExists(const QString& section, const QString& key) const;
    // Section names in file order.
    QStringList ReadSections() const;

    void WriteString(const QString& section, const QString& key, const QString& value);
    void WriteInteger(const QString& section, const QString& key, int value);
    // Writes the file (atomically); false when it cannot be written.
    bool UpdateFile();

    // The whole text of a file as the engine writes it, for files made from
    // scratch (the language files).
    static QByteArray Encode(const QString& text, TIniEncoding encoding);

  private:
    struct line {
        QString text;
    };
    int findSection(const QString& section) const;           // index of the "[...]" line or -1
    int findKey(int section_line, const QString& key) const; // index of the key line or -1
    static bool sectionName(const QString& line, QString* name);
    static bool keyValue(const QString& line, QString* key, QString* value);

    QString path_;
    TIniLoad status_ = TIniLoad::missing;
    TIniEncoding encoding_ = TIniEncoding::eight_bit;
    QVector<line> lines_;
};

} // namespace pruvell
