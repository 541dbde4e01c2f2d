#pragma once

// Generated settings files for the fuzz tests of the settings reader and of start-up: random bytes,
// mutated files, huge lines, NUL bytes, no section, many sections, byte-order marks, UTF-16, CRLF,
// CR and mixed line endings, the program's own keys with values out of every range, and one 10 MB
// file. The same seeds give the same files on every run.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <vector>

namespace ini_fuzz {

// Each file's reads together, and its one write, must finish within this: a guard against a hang,
// far above what any of them takes.
constexpr qint64 kHangGuardMs = 1000;

inline const QString kSection = QStringLiteral("Config");
// The key the reader tests follow; the program knows nothing of it.
inline const QString kKey = QStringLiteral("Fuzz Key");
// Keys the program reads.
inline const QStringList kProgramKeys = {QStringLiteral("Recording Source"), QStringLiteral("Recording Source Name"),
                                         QStringLiteral("Recording Volume"), QStringLiteral("Channels"),
                                         QStringLiteral("BitsPerSample"),    QStringLiteral("SamplesPerSec"),
                                         QStringLiteral("Save Position")};

// What a generated file holds, as the generator made it. For files the generator does not
// describe (random bytes, mutations, UTF-16) only the model-free checks apply.
struct Model {
    bool known = false;
    int header = -1;     // the first [Config] header line
    int nextHeader = -1; // the header line after it, or the number of lines
    int keyLine = -1;    // the key's first line in that first section
    bool hasValue = false;
    QByteArray value; // what reading the key gives: its first occurrence in any [Config] section
};

struct Generated {
    QString kind;
    QByteArray data;
    Model model;
};

// Every generated file, in a fixed order.
std::vector<Generated> generate();

// The file's lines with their endings, the last one possibly without.
QList<QByteArray> linesWithEndings(const QByteArray& data);
// The file's lines without their endings (LF or CRLF).
QList<QByteArray> lineTexts(const QByteArray& data);
// One line ending throughout, and the last line ends with it.
bool oneEndingThroughout(const QByteArray& data);
// Whether after differs from before only by the key's line: one line replaced by it, or it added,
// or a [Config] header and it added at the end, or it written again as it was. Returns where the
// key's line is, or -1, and in how which of these it was.
int onlyKeyLineChanged(const QList<QByteArray>& before, const QList<QByteArray>& after, const QByteArray& keyLine,
                       const QByteArray& headerLine, QString* how);

QByteArray readBytes(const QString& path);
bool writeBytes(const QString& path, const QByteArray& data);
QString describe(const Generated& file, size_t index);

} // namespace ini_fuzz
