#include "platform/ini_file.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>
#include <limits>

namespace {

// Files larger than this are not settings files of ours; they are read as if empty rather than
// loaded whole on every key.
constexpr qint64 kMaxFileSize = 64 * 1024 * 1024;

// What editors that save "UTF-8 with signature" put in front of the first line.
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
constexpr qsizetype kUtf8BomSize = sizeof(kUtf8Bom) - 1;

// The file's lines without their endings. A UTF-8 byte-order mark is not part of the first line (a
// header behind it is still a header); bom says whether there was one, so that a write keeps it.
QList<QByteArray> readLines(const QString& path, bool* crlf, bool* bom = nullptr)
{
    QList<QByteArray> lines;
    *crlf = false;
    if (bom)
        *bom = false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxFileSize)
        return lines;
    QByteArray data = file.readAll();
    if (data.startsWith(kUtf8Bom)) {
        data.remove(0, kUtf8BomSize);
        if (bom)
            *bom = true;
    }
    if (data.isEmpty())
        return lines;
    lines = data.split('\n');
    if (data.endsWith('\n'))
        lines.removeLast();
    for (QByteArray& line : lines) {
        if (line.endsWith('\r')) {
            line.chop(1);
            *crlf = true;
        }
    }
    return lines;
}

// A section header "[name]" (blanks allowed around the name); returns false for other lines.
bool sectionName(QByteArrayView line, QByteArrayView* name)
{
    const QByteArrayView t = line.trimmed();
    if (!t.startsWith('['))
        return false;
    const qsizetype close = t.indexOf(']');
    if (close < 0)
        return false;
    *name = t.sliced(1, close - 1).trimmed();
    return true;
}

// A "key=value" line; returns false for comments and lines without '='.
bool keyValue(QByteArrayView line, QByteArrayView* key, QByteArrayView* value)
{
    const QByteArrayView t = line.trimmed();
    if (t.isEmpty() || t.startsWith(';'))
        return false;
    const qsizetype eq = t.indexOf('=');
    if (eq <= 0)
        return false;
    *key = t.first(eq).trimmed();
    *value = t.sliced(eq + 1).trimmed();
    return true;
}

bool isAscii(QByteArrayView text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// Names compare without case, as Unicode text. Nearly all are ASCII, where that is a byte-wise
// comparison without case: the quick way, as every key lookup reads the whole file.
bool sameName(QByteArrayView a, QByteArrayView b)
{
    if (isAscii(a) && isAscii(b)) {
        if (a.size() != b.size())
            return false;
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        for (qsizetype i = 0; i < a.size(); ++i)
            if (lower(a[i]) != lower(b[i]))
                return false;
        return true;
    }
    return QString::fromUtf8(a).compare(QString::fromUtf8(b), Qt::CaseInsensitive) == 0;
}

} // namespace

IniFile::IniFile(QString path, QString section) : m_path(std::move(path)), m_section(std::move(section)) {}

bool IniFile::find(const QString& key, QString* value) const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxFileSize)
        return false;
    const QByteArray data = file.readAll();
    QByteArrayView rest(data);
    if (rest.startsWith(QByteArrayView(kUtf8Bom, kUtf8BomSize)))
        rest = rest.sliced(kUtf8BomSize);
    const QByteArray section = m_section.toUtf8();
    const QByteArray wanted = key.toUtf8();
    // Line by line through the file as it is: a lookup does not copy the file into lines.
    bool inSection = false;
    while (!rest.isEmpty()) {
        const qsizetype lf = rest.indexOf('\n');
        QByteArrayView line = lf < 0 ? rest : rest.first(lf);
        rest = lf < 0 ? QByteArrayView() : rest.sliced(lf + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        QByteArrayView name;
        if (sectionName(line, &name)) {
            inSection = sameName(name, section);
            continue;
        }
        QByteArrayView k, v;
        if (inSection && keyValue(line, &k, &v) && sameName(k, wanted)) {
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.sliced(1, v.size() - 2);
            *value = QString::fromUtf8(v);
            return true;
        }
    }
    return false;
}

int32_t IniFile::readInt(const QString& key, int32_t defaultValue) const
{
    QString value;
    if (!find(key, &value))
        return defaultValue;
    return parseProfileInt(value);
}

QString IniFile::readString(const QString& key, const QString& defaultValue) const
{
    QString value;
    if (!find(key, &value))
        return defaultValue;
    return value;
}

bool IniFile::write(const QString& key, const QString& value) const
{
    bool crlf = false, bom = false;
    QList<QByteArray> lines = readLines(m_path, &crlf, &bom);
    const QFileInfo info(m_path);
    if (info.exists()) {
        // A read-only, unreadable or oversized file is not ours to replace.
        QFile probe(m_path);
        if (!info.isWritable() || !probe.open(QIODevice::ReadOnly) || probe.size() > kMaxFileSize)
            return false;
    }
    const QByteArray wanted = key.toUtf8();
    const QByteArray newLine = wanted + '=' + value.toUtf8();

    qsizetype sectionStart = -1; // line after our section's header
    qsizetype lastEntry = -1;    // last key line of our section
    const QByteArray section = m_section.toUtf8();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArrayView name;
        if (sectionName(lines[i], &name)) {
            if (sectionStart >= 0)
                break;
            if (sameName(name, section)) {
                sectionStart = i + 1;
                lastEntry = i;
            }
            continue;
        }
        if (sectionStart < 0)
            continue;
        QByteArrayView k, v;
        if (keyValue(lines[i], &k, &v)) {
            if (sameName(k, wanted)) {
                lines[i] = newLine;
                sectionStart = -2; // replaced
                break;
            }
            lastEntry = i;
        }
    }
    if (sectionStart == -1) {
        lines.append('[' + section + ']');
        lines.append(newLine);
    } else if (sectionStart >= 0) {
        lines.insert(lastEntry + 1, newLine);
    }

    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray eol = crlf ? QByteArray("\r\n") : QByteArray("\n");
    if (bom)
        file.write(kUtf8Bom, kUtf8BomSize);
    for (const QByteArray& line : lines) {
        file.write(line);
        file.write(eol);
    }
    return file.commit();
}

int32_t parseProfileInt(const QString& text)
{
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace())
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    int64_t value = 0;
    constexpr int64_t limit = int64_t(std::numeric_limits<int32_t>::max()) + 1;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i].unicode() - u'0');
        if (value > limit)
            value = limit;
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<int32_t>::max())
        value = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}
