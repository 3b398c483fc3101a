#include "IniFiles.h"

#include <QStringDecoder>

#include <vector>

#include "file_util.h"

namespace pruvell {

namespace {

constexpr size_t ini_max_bytes = 4 * 1024 * 1024;

QString unquote(QString value) {
    value = value.trimmed();
    if (value.size() >= 2 && value.front() == u'"' && value.back() == u'"')
        value = value.mid(1, value.size() - 2);
    return value;
}

bool decode(const std::vector<uint8_t>& bytes, TIniEncoding& encoding, QString& text) {
    const auto* data = reinterpret_cast<const char*>(bytes.data());
    const qsizetype size = static_cast<qsizetype>(bytes.size());
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        encoding = TIniEncoding::utf16le_bom;
        if (size % 2 != 0) return false;
        text.clear();
        text.reserve((size - 2) / 2);
        for (qsizetype i = 2; i < size; i += 2)
            text += QChar(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
        // Surrogates only in whole pairs, and no NUL: anything else is not text.
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar c = text[i];
            if (c.isNull()) return false;
            if (c.isHighSurrogate()) {
                if (i + 1 >= text.size() || !text[i + 1].isLowSurrogate()) return false;
                ++i;
            } else if (c.isLowSurrogate()) {
                return false;
            }
        }
        return true;
    }
    if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        encoding = TIniEncoding::utf8_bom;
        QStringDecoder d(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        text = d.decode(QByteArrayView(data + 3, size - 3));
        return !d.hasError() && !text.contains(QChar(0));
    }
    encoding = TIniEncoding::eight_bit;
    if (QByteArrayView(data, size).contains('\0')) return false;
    QStringDecoder d(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    text = d.decode(QByteArrayView(data, size));
    if (d.hasError()) text = QString::fromLatin1(data, size);
    return true;
}

} // namespace

TIniFile::TIniFile(QString path) : path_(std::move(path)) {
    std::vector<uint8_t> bytes;
    switch (plat::read_file(path_.toStdString(), bytes, ini_max_bytes)) {
    case plat::read_status::ok:
        break;
    case plat::read_status::missing:
        status_ = TIniLoad::missing;
        return;
    default:
        status_ = TIniLoad::unreadable;
        return;
    }
    QString text;
    if (!decode(bytes, encoding_, text)) {
        status_ = TIniLoad::corrupt;
        return;
    }
    status_ = TIniLoad::ok;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    QStringList parts = text.split(u'\n');
    if (!parts.isEmpty() && parts.back().isEmpty()) parts.removeLast();
    for (QString& p : parts)
        lines_.push_back({std::move(p)});
}

bool TIniFile::sectionName(const QString& line, QString* name) {
    const QString t = line.trimmed();
    if (!t.startsWith(u'[')) return false;
    const qsizetype end = t.indexOf(u']');
    if (end < 0) return false;
    *name = t.mid(1, end - 1).trimmed();
    return true;
}

bool TIniFile::keyValue(const QString& line, QString* key, QString* value) {
    const QString t = line.trimmed();
    if (t.isEmpty() || t.startsWith(u';')) return false;
    const qsizetype eq = t.indexOf(u'=');
    if (eq <= 0) return false;
    *key = t.left(eq).trimmed();
    *value = t.mid(eq + 1);
    return !key->isEmpty();
}

int TIniFile::findSection(const QString& section) const {
    QString name;
    for (int i = 0; i < lines_.size(); ++i)
        if (sectionName(lines_[i].text, &name) && name.compare(section, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

int TIniFile::findKey(int section_line, const QString& key) const {
    QString name, k, v;
    for (int i = section_line + 1; i < lines_.size(); ++i) {
        if (sectionName(lines_[i].text, &name)) return -1;
        if (keyValue(lines_[i].text, &k, &v) && k.compare(key, Qt::CaseInsensitive) == 0) return i;
    }
    return -1;
}

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& def) const {
    const int s = findSection(section);
    if (s < 0) return def;
    const int k = findKey(s, key);
    if (k < 0) return def;
    QString name, value;
    keyValue(lines_[k].text, &name, &value);
    return unquote(value);
}

bool TIniFile::KeyExists(const QString& section, const QString& key) const {
    const int s = findSection(section);
    return s >= 0 && findKey(s, key) >= 0;
}

int TIniFile::ReadInteger(const QString& section, const QString& key, int def, bool* valid) const {
    if (valid != nullptr) *valid = true;
    if (!KeyExists(section, key)) return def;
    const QString text = ReadString(section, key, QString());
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok) {
        if (valid != nullptr) *valid = false;
        return def;
    }
    return value;
}

QStringList TIniFile::ReadSections() const {
    QStringList out;
    QString name;
    for (const line& l : lines_)
        if (sectionName(l.text, &name)) out.push_back(name);
    return out;
}

void TIniFile::WriteString(const QString& section, const QString& key, const QString& value) {
    // Quotes keep blanks at either end; a value cannot hold a line break.
    QString stored = value;
    stored.replace(u'\r', u' ').replace(u'\n', u' ');
    if (stored != stored.trimmed() ||
        (stored.size() >= 2 && stored.front() == u'"' && stored.back() == u'"'))
        stored = u'"' + stored + u'"';
    const QString text = key + u'=' + stored;
    int s = findSection(section);
    if (s < 0) {
        lines_.push_back({u'[' + section + u']'});
        lines_.push_back({text});
        return;
    }
    if (const int k = findKey(s, key); k >= 0) {
        lines_[k].text = text;
        return;
    }
    // After the section's last key line (blank lines before the next section stay after it).
    int at = s + 1;
    QString name, kk, vv;
    for (int i = s + 1; i < lines_.size(); ++i) {
        if (sectionName(lines_[i].text, &name)) break;
        if (keyValue(lines_[i].text, &kk, &vv)) at = i + 1;
    }
    lines_.insert(at, {text});
}

void TIniFile::WriteInteger(const QString& section, const QString& key, int value) {
    WriteString(section, key, QString::number(value));
}

QByteArray TIniFile::Encode(const QString& text, TIniEncoding encoding) {
    switch (encoding) {
    case TIniEncoding::utf16le_bom: {
        QByteArray out("\xFF\xFE", 2);
        for (QChar c : text) {
            out.append(static_cast<char>(c.unicode() & 0xFF));
            out.append(static_cast<char>(c.unicode() >> 8));
        }
        return out;
    }
    case TIniEncoding::utf8_bom:
        return QByteArray("\xEF\xBB\xBF") + text.toUtf8();
    case TIniEncoding::eight_bit:
        break;
    }
    return text.toUtf8();
}

bool TIniFile::UpdateFile() {
    // A corrupt file holds nothing to keep: it is replaced. One that cannot
    // be read may hold what we cannot see, and stays.
    if (status_ == TIniLoad::unreadable) return false;
    QString text;
    for (const line& l : lines_)
        text += l.text + QStringLiteral("\r\n");
    const QByteArray bytes = Encode(text, encoding_);
    if (!plat::write_file_atomic(path_.toStdString(),
                                 {reinterpret_cast<const uint8_t*>(bytes.constData()),
                                  static_cast<size_t>(bytes.size())}))
        return false;
    status_ = TIniLoad::ok;
    return true;
}

} // namespace pruvell
