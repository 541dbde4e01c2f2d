#include "platform/ini_file.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>
#include <limits>

namespace {

// Files larger than this are not settings files of ours; they are read as if empty rather than
// loaded whole on every key.
constexpr qint64 kMaxFileSize = 64 * 1024 * 1024;

QList<QByteArray> readLines(const QString& path, bool* crlf)
{
    QList<QByteArray> lines;
    *crlf = false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxFileSize)
        return lines;
    const QByteArray data = file.readAll();
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
bool sectionName(const QByteArray& line, QByteArray* name)
{
    const QByteArray t = line.trimmed();
    if (!t.startsWith('['))
        return false;
    const int close = t.indexOf(']');
    if (close < 0)
        return false;
    *name = t.mid(1, close - 1).trimmed();
    return true;
}

// A "key=value" line; returns false for comments and lines without '='.
bool keyValue(const QByteArray& line, QByteArray* key, QByteArray* value)
{
    const QByteArray t = line.trimmed();
    if (t.isEmpty() || t.startsWith(';'))
        return false;
    const int eq = t.indexOf('=');
    if (eq <= 0)
        return false;
    *key = t.left(eq).trimmed();
    *value = t.mid(eq + 1).trimmed();
    return true;
}

bool sameName(const QByteArray& a, const QString& b)
{
    return QString::fromUtf8(a).compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

IniFile::IniFile(QString path, QString section) : m_path(std::move(path)), m_section(std::move(section)) {}

bool IniFile::find(const QString& key, QString* value) const
{
    bool crlf = false;
    const QList<QByteArray> lines = readLines(m_path, &crlf);
    bool inSection = false;
    for (const QByteArray& line : lines) {
        QByteArray name;
        if (sectionName(line, &name)) {
            inSection = sameName(name, m_section);
            continue;
        }
        QByteArray k, v;
        if (inSection && keyValue(line, &k, &v) && sameName(k, key)) {
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.mid(1, v.size() - 2);
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
    bool crlf = false;
    QList<QByteArray> lines = readLines(m_path, &crlf);
    const QFileInfo info(m_path);
    if (info.exists()) {
        // A read-only, unreadable or oversized file is not ours to replace.
        QFile probe(m_path);
        if (!info.isWritable() || !probe.open(QIODevice::ReadOnly) || probe.size() > kMaxFileSize)
            return false;
    }
    const QByteArray newLine = key.toUtf8() + '=' + value.toUtf8();

    qsizetype sectionStart = -1;   // line after our section's header
    qsizetype lastEntry = -1;      // last key line of our section
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArray name;
        if (sectionName(lines[i], &name)) {
            if (sectionStart >= 0)
                break;
            if (sameName(name, m_section)) {
                sectionStart = i + 1;
                lastEntry = i;
            }
            continue;
        }
        if (sectionStart < 0)
            continue;
        QByteArray k, v;
        if (keyValue(lines[i], &k, &v)) {
            if (sameName(k, key)) {
                lines[i] = newLine;
                sectionStart = -2; // replaced
                break;
            }
            lastEntry = i;
        }
    }
    if (sectionStart == -1) {
        lines.append('[' + m_section.toUtf8() + ']');
        lines.append(newLine);
    } else if (sectionStart >= 0) {
        lines.insert(lastEntry + 1, newLine);
    }

    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray eol = crlf ? QByteArray("\r\n") : QByteArray("\n");
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
