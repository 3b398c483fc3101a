#include "ResStrs.h"

#include <QFileInfo>
#include <QHash>

#include <vector>

#include "IniFiles.h"

namespace pruvell {

namespace {

struct text_table {
    std::vector<QString> texts;
    QHash<QString, int> index; // lower-case key -> row

    text_table() {
        for (int i = 0; i < text_key_count; ++i)
            index.insert(QString::fromLatin1(text_rows[i].key).toLower(), i);
        reset();
    }
    void reset() {
        texts.clear();
        for (const TTextRow& r : text_rows)
            texts.push_back(QString::fromUtf8(r.chinese));
    }
};

text_table& table() {
    static text_table t;
    return t;
}

QString stored_value(const char* value) {
    QString v = QString::fromUtf8(value);
    // The INI reader drops blanks at either end unless the value is quoted.
    if (v != v.trimmed()) v = u'"' + v + u'"';
    return v;
}

} // namespace

QString Text(QStringView key) {
    const text_table& t = table();
    const auto it = t.index.constFind(key.toString().toLower());
    return it == t.index.constEnd() ? QString() : t.texts[static_cast<size_t>(*it)];
}

void ResetTexts() {
    table().reset();
}

TLanguageLoad LoadLanguageFile(const QString& path) {
    if (!QFileInfo::exists(path)) return TLanguageLoad::missing;
    const TIniFile ini(path);
    if (ini.loadStatus() != TIniLoad::ok) return TLanguageLoad::unreadable;
    text_table& t = table();
    const QString section = QStringLiteral("Caption");
    for (int i = 0; i < text_key_count; ++i) {
        const TTextRow& r = text_rows[i];
        const QString missing = r.space_when_missing ? QStringLiteral(" ") : QString();
        t.texts[static_cast<size_t>(i)] =
            ini.ReadString(section, QString::fromLatin1(r.key), missing);
    }
    return TLanguageLoad::loaded;
}

QByteArray LanguageFileBytes(TLanguage language) {
    QString text = QStringLiteral("[Caption]\r\n");
    for (const TTextRow& r : text_rows) {
        const char* value = language == TLanguage::english ? r.english : r.vietnamese;
        text += QString::fromLatin1(r.key).leftJustified(40) + u'=' + stored_value(value) +
                QStringLiteral("\r\n");
    }
    return TIniFile::Encode(text, TIniEncoding::utf16le_bom);
}

QString FormatText(const QString& pattern, std::initializer_list<TFormatArg> args) {
    QString out;
    auto next = args.begin();
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern[i];
        if (c != u'%' || i + 1 >= pattern.size()) {
            out += c;
            continue;
        }
        const QChar d = pattern[i + 1];
        if (d == u'%') {
            out += u'%';
            ++i;
        } else if (d == u'd' && next != args.end() && next->is_integer()) {
            out += QString::number(next->number());
            ++next;
            ++i;
        } else if (d == u's' && next != args.end() && !next->is_integer()) {
            out += next->text();
            ++next;
            ++i;
        } else {
            out += c; // not a place we fill: kept as text
        }
    }
    return out;
}

} // namespace pruvell
