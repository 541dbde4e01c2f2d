#include "tests/platform/ini_fuzz_cases.h"

#include <QFile>

#include <cstdint>
#include <random>

namespace ini_fuzz {

namespace {

class Random {
public:
    explicit Random(uint32_t seed) : m_engine(seed) {}
    uint32_t below(uint32_t n) { return n ? m_engine() % n : 0; }
    bool chance(uint32_t percent) { return below(100) < percent; }
    QByteArray bytes(int n)
    {
        QByteArray out(n, '\0');
        for (char& c : out)
            c = char(m_engine() & 0xff);
        return out;
    }
    template <typename T> const T& pick(const std::vector<T>& items) { return items[below(uint32_t(items.size()))]; }

private:
    std::mt19937 m_engine;
};

struct Line {
    QByteArray text;
    QByteArray end; // "\n", "\r\n", "\r" for old Mac files, "" for a last line without one
};

QByteArray join(const std::vector<Line>& lines)
{
    QByteArray out;
    for (const Line& line : lines)
        out += line.text + line.end;
    return out;
}

// A line of random bytes that is neither a section header nor ends in CR, and has no line feed.
QByteArray junk(Random& random, int length)
{
    QByteArray text = random.bytes(length);
    for (char& c : text)
        if (c == '\n')
            c = '.';
    const QByteArray trimmed = text.trimmed();
    if (trimmed.startsWith('['))
        text[text.indexOf('[')] = '(';
    if (text.endsWith('\r'))
        text[text.size() - 1] = '.';
    return text;
}

// Files made of lines: comments, blanks, junk, other sections and keys, and [Config] sections that
// may hold the key.
struct Shape {
    int sections = 3;        // sections after the lines before the first header
    int linesPerSection = 6; // at most
    uint32_t configPercent = 40;
    int junkLength = 40; // at most
    int hugeLine = 0;    // bytes of one huge line, 0 for none
    bool nul = false;    // NUL bytes inside keys, values and comments
    bool bom = false;    // a UTF-8 byte-order mark in front of the first line
    bool leading = true; // lines before the first section header
};

Generated structured(const QString& kind, Random& random, const Shape& shape)
{
    static const std::vector<QByteArray> headers = {"[Config]",   "[config]",   "[CONFIG]",
                                                    "[ Config ]", "  [Config]", "\t[Config]  "};
    static const std::vector<QByteArray> keyForms = {"Fuzz Key=%1", "fuzz key = %1", "  FUZZ KEY=  \"%1\"  ",
                                                     "Fuzz Key\t=\t%1", "fUZZ kEY='%1'"};
    std::vector<Line> lines;
    Model model;
    model.known = true;
    int valueCount = 0;
    auto add = [&](const QByteArray& text) { lines.push_back({text, "\n"}); };
    auto nul = [&](QByteArray text) {
        if (shape.nul && random.chance(50))
            text.insert(random.below(uint32_t(text.size()) + 1), '\0');
        return text;
    };
    auto body = [&](bool config) {
        const int count = int(random.below(uint32_t(shape.linesPerSection) + 1));
        for (int i = 0; i < count; ++i) {
            switch (random.below(7)) {
            case 0:
                add(nul("; comment " + QByteArray::number(random.below(1000))));
                break;
            case 1:
                add(QByteArray(int(random.below(3)), ' '));
                break;
            case 2:
                add(junk(random, int(random.below(uint32_t(shape.junkLength) + 1))));
                break;
            case 3:
                add(nul(QByteArray(kProgramKeys[int(random.below(uint32_t(kProgramKeys.size())))].toUtf8()) + '=' +
                        QByteArray::number(int(random.below(100000)) - 50000)));
                break;
            case 4:
                add(nul("Other " + QByteArray::number(random.below(50)) + "=value " +
                        QByteArray::number(random.below(1000))));
                break;
            default: {
                // The key, in any section: only a [Config] section's counts.
                const QByteArray value = "old" + QByteArray::number(++valueCount);
                if (config && model.header >= 0 && model.nextHeader < 0 && model.keyLine < 0)
                    model.keyLine = int(lines.size());
                if (config && !model.hasValue) {
                    model.hasValue = true;
                    model.value = value;
                }
                add(QByteArray(random.pick(keyForms)).replace("%1", value));
            }
            }
        }
    };
    if (shape.leading)
        body(false);
    for (int s = 0; s < shape.sections; ++s) {
        const bool config = random.chance(shape.configPercent);
        if (model.header >= 0 && model.nextHeader < 0)
            model.nextHeader = int(lines.size());
        if (config) {
            if (model.header < 0)
                model.header = int(lines.size());
            add(random.pick(headers));
        } else {
            add("[Section " + QByteArray::number(s) + ']');
        }
        body(config);
    }
    if (model.header >= 0 && model.nextHeader < 0)
        model.nextHeader = int(lines.size());
    if (shape.hugeLine > 0) {
        // A huge comment, a huge value of another key, or a huge value of the key.
        const int at = int(random.below(uint32_t(lines.size()) + 1));
        QByteArray huge;
        switch (random.below(3)) {
        case 0:
            huge = "; " + QByteArray(shape.hugeLine, 'c');
            break;
        case 1:
            huge = "Save Position=/" + QByteArray(shape.hugeLine, 'p');
            break;
        default:
            huge = junk(random, shape.hugeLine);
        }
        lines.insert(lines.begin() + at, {huge, "\n"});
        auto shift = [at](int& index) {
            if (index >= at)
                ++index;
        };
        // Put before a header, it moves the header down; put right before the next header, it is
        // the last line of our section.
        shift(model.header);
        shift(model.nextHeader);
        shift(model.keyLine);
    }
    if (shape.bom) {
        // In front of whatever the first line is, a section header as often as not.
        if (lines.empty())
            add("; settings");
        lines.front().text.prepend("\xEF\xBB\xBF");
    }
    return {kind, join(lines), model};
}

// The same lines with other line endings.
Generated withEndings(Generated file, Random& random, const QByteArray& mode)
{
    QList<QByteArray> parts = file.data.split('\n');
    parts.removeLast(); // generated files end with a line feed
    QByteArray out;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        QByteArray end = "\n";
        if (mode == "crlf")
            end = "\r\n";
        else if (mode == "cr")
            end = "\r";
        else if (mode == "mixed")
            end = random.chance(50) ? "\r\n" : "\n";
        else if (mode == "open" && i == parts.size() - 1)
            end = "";
        out += parts[i] + end;
    }
    file.data = out;
    if (mode == "cr")
        file.model = Model(); // one long line to the reader
    return file;
}

} // namespace

std::vector<Generated> generate()
{
    std::vector<Generated> files;
    const uint32_t perKind = 220;
    auto seeded = [](uint32_t kind, uint32_t i) { return Random(kind * 100003u + i); };
    for (uint32_t i = 0; i < perKind; ++i) {
        Random random = seeded(1, i);
        files.push_back({QStringLiteral("random bytes"), random.bytes(int(random.below(8192))), {}});
    }
    for (uint32_t i = 0; i < perKind; ++i) {
        Random random = seeded(2, i);
        files.push_back(structured(QStringLiteral("plain"), random, {}));
    }
    for (uint32_t i = 0; i < perKind; ++i) {
        Random random = seeded(3, i);
        files.push_back(withEndings(structured(QStringLiteral("CRLF"), random, {}), random, "crlf"));
    }
    for (uint32_t i = 0; i < perKind; ++i) {
        Random random = seeded(4, i);
        files.push_back(withEndings(structured(QStringLiteral("mixed endings"), random, {}), random, "mixed"));
    }
    for (uint32_t i = 0; i < perKind; ++i) {
        Random random = seeded(5, i);
        files.push_back(withEndings(structured(QStringLiteral("no last line ending"), random, {}), random, "open"));
    }
    for (uint32_t i = 0; i < perKind / 2; ++i) {
        Random random = seeded(6, i);
        files.push_back(withEndings(structured(QStringLiteral("CR endings"), random, {}), random, "cr"));
    }
    for (uint32_t i = 0; i < perKind; ++i) {
        Random random = seeded(7, i);
        Shape shape;
        shape.nul = true;
        Generated file = structured(QStringLiteral("NUL bytes"), random, shape);
        if (random.chance(50))
            file = withEndings(file, random, "crlf");
        files.push_back(file);
    }
    for (uint32_t i = 0; i < 24; ++i) {
        Random random = seeded(8, i);
        Shape shape;
        shape.hugeLine = int(256 * 1024 + random.below(3 * 1024 * 1024));
        files.push_back(structured(QStringLiteral("huge line"), random, shape));
    }
    for (uint32_t i = 0; i < perKind; ++i) {
        Random random = seeded(9, i);
        Shape shape;
        shape.sections = 0;
        shape.linesPerSection = 30;
        files.push_back(structured(QStringLiteral("no section"), random, shape));
    }
    for (uint32_t i = 0; i < 60; ++i) {
        Random random = seeded(10, i);
        Shape shape;
        shape.sections = int(200 + random.below(3000));
        shape.linesPerSection = 3;
        shape.configPercent = random.chance(50) ? 1 : 0;
        files.push_back(structured(QStringLiteral("many sections"), random, shape));
    }
    for (uint32_t i = 0; i < perKind; ++i) {
        Random random = seeded(11, i);
        Shape shape;
        shape.bom = true;
        shape.leading = random.chance(50);
        Generated file = structured(QStringLiteral("UTF-8 BOM"), random, shape);
        if (random.chance(50))
            file = withEndings(file, random, "crlf");
        files.push_back(file);
    }
    for (uint32_t i = 0; i < perKind / 2; ++i) {
        // The same text as UTF-16 with its byte-order mark, as some editors save it.
        Random random = seeded(12, i);
        Generated file = withEndings(structured(QStringLiteral("UTF-16"), random, {}), random, "crlf");
        const QString text = QString::fromUtf8(file.data);
        QByteArray utf16;
        const bool little = random.chance(50);
        utf16 += little ? QByteArray("\xFF\xFE", 2) : QByteArray("\xFE\xFF", 2);
        for (const QChar c : text) {
            const char lo = char(c.unicode() & 0xff), hi = char(c.unicode() >> 8);
            utf16 += little ? QByteArray{lo, hi} : QByteArray{hi, lo};
        }
        files.push_back({file.kind, utf16, {}});
    }
    for (uint32_t i = 0; i < perKind * 2; ++i) {
        // A good file with a few bytes changed, added or taken away.
        Random random = seeded(13, i);
        Generated file = structured(QStringLiteral("mutated"), random, {});
        const int edits = int(1 + random.below(8));
        for (int e = 0; e < edits && !file.data.isEmpty(); ++e) {
            const qsizetype at = random.below(uint32_t(file.data.size()));
            switch (random.below(3)) {
            case 0:
                file.data[at] = char(random.below(256));
                break;
            case 1:
                file.data.insert(at, random.bytes(int(1 + random.below(4))));
                break;
            default:
                file.data.remove(at, 1 + random.below(4));
            }
        }
        file.model = Model();
        files.push_back(file);
    }
    for (uint32_t i = 0; i < perKind; ++i) {
        // The program's own keys, each with a value from the edges of its range and beyond,
        // spelled in any case, maybe twice, in a [Config] section.
        static const std::vector<QByteArray> numbers = {
            "0",      "1",        "2",   "-1",     "3",          "8",           "16",
            "24",     "32",       "64",  "99999",  "2147483647", "-2147483648", "99999999999999999999",
            "+22050", "44100 Hz", "abc", "",       " 65536 ",    "0x10",        "65536",
            "70000",  "-65536",   "1e9", "192000", "8000",       "\"\"",        "- 5"};
        static const std::vector<QByteArray> paths = {"",
                                                      "/",
                                                      ".",
                                                      "relative.wav",
                                                      "/nonexistent/folder/take.wav",
                                                      "/dev/null",
                                                      "/proc/version",
                                                      "/tmp",
                                                      "take",
                                                      "\"quoted name.wav\"",
                                                      "'single.wav'",
                                                      "C:\\Music\\Brel.wav",
                                                      "take.mp3",
                                                      "/tmp/\xC3\xBC \xC3\xB1.wav",
                                                      "/tmp/\xFF\xFE.wav"};
        Random random = seeded(15, i);
        QByteArray data = random.chance(80) ? "[Config]\n" : "[config]\n";
        const int count = int(1 + random.below(12));
        for (int k = 0; k < count; ++k) {
            const QString key = kProgramKeys[int(random.below(uint32_t(kProgramKeys.size())))];
            QByteArray spelled = key.toUtf8();
            switch (random.below(4)) {
            case 0:
                spelled = spelled.toLower();
                break;
            case 1:
                spelled = spelled.toUpper();
                break;
            case 2:
                spelled = ' ' + spelled + ' ';
                break;
            default:
                break;
            }
            QByteArray value;
            if (key == QStringLiteral("Save Position"))
                value = random.pick(paths);
            else if (key == QStringLiteral("Recording Source Name"))
                value = random.chance(50) ? QByteArray("trelvik_sink.monitor") : junk(random, int(random.below(300)));
            else
                value = random.pick(numbers);
            data += spelled + '=' + value + '\n';
        }
        files.push_back({QStringLiteral("program values"), data, {}});
    }
    {
        // One file of 10 MB: many sections of many keys, ours near the end.
        Random random = seeded(14, 0);
        QByteArray data;
        int section = 0;
        while (data.size() < 10 * 1024 * 1024 - 4096) {
            data += "[Section " + QByteArray::number(section++) + "]\n";
            for (int k = 0; k < 40; ++k)
                data += "Key " + QByteArray::number(k) + '=' + junk(random, 120) + '\n';
        }
        Model model;
        model.known = true;
        const int before = int(data.count('\n'));
        data += "[Config]\nChannels=2\nFuzz Key=old1\nSave Position=/tmp/a.wav\n[Last]\nFuzz Key=other\n";
        model.header = before;
        model.keyLine = before + 2;
        model.nextHeader = before + 4;
        model.hasValue = true;
        model.value = "old1";
        files.push_back({QStringLiteral("10 MB"), data, model});
    }
    return files;
}

// The file's lines with their endings, the last one possibly without.

QList<QByteArray> linesWithEndings(const QByteArray& data)
{
    QList<QByteArray> lines;
    qsizetype from = 0;
    while (from < data.size()) {
        const qsizetype lf = data.indexOf('\n', from);
        const qsizetype to = lf < 0 ? data.size() : lf + 1;
        lines.append(data.mid(from, to - from));
        from = to;
    }
    return lines;
}

// The file's lines without their endings (LF or CRLF).
QList<QByteArray> lineTexts(const QByteArray& data)
{
    QList<QByteArray> lines = linesWithEndings(data);
    for (QByteArray& line : lines) {
        if (line.endsWith('\n'))
            line.chop(1);
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

// One line ending throughout, and the last line ends with it.
bool oneEndingThroughout(const QByteArray& data)
{
    if (data.isEmpty())
        return true;
    if (!data.endsWith('\n'))
        return false;
    const qsizetype lf = data.count('\n');
    const qsizetype crlf = data.count("\r\n");
    return crlf == 0 || crlf == lf;
}

// Whether after differs from before only by the key's line: one line replaced by it, or it added,
// or a [Config] header and it added at the end. Returns where the key's line is, or -1.
int onlyKeyLineChanged(const QList<QByteArray>& before, const QList<QByteArray>& after, const QByteArray& keyLine,
                       const QByteArray& headerLine, QString* how)
{
    if (after.size() == before.size()) {
        int changed = -1;
        for (qsizetype i = 0; i < before.size(); ++i)
            if (before[i] != after[i]) {
                if (changed >= 0)
                    return -1;
                changed = int(i);
            }
        if (changed < 0) {
            // The key's line written again as it was.
            *how = QStringLiteral("kept");
            return int(after.indexOf(keyLine));
        }
        *how = QStringLiteral("replaced");
        return after[changed] == keyLine ? changed : -1;
    }
    if (after.size() == before.size() + 1) {
        const qsizetype at = after.indexOf(keyLine);
        if (at < 0)
            return -1;
        QList<QByteArray> rest = after;
        rest.removeAt(at);
        *how = QStringLiteral("added");
        return rest == before ? int(at) : -1;
    }
    if (after.size() == before.size() + 2 && after.mid(0, before.size()) == before &&
        after[before.size()] == headerLine && after[before.size() + 1] == keyLine) {
        *how = QStringLiteral("added with the section");
        return int(before.size() + 1);
    }
    return -1;
}

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool writeBytes(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size() && file.flush();
}

QString describe(const Generated& file, size_t index)
{
    return QStringLiteral("%1 file #%2 (%3 bytes)").arg(file.kind).arg(index).arg(file.data.size());
}

} // namespace ini_fuzz
