// Thousands of generated settings files, from fixed seeds, through the INI reader as the program
// meets them on disk: random bytes, mutated files, huge lines, NUL bytes, no section, many
// sections, byte-order marks, UTF-16, CRLF, CR and mixed line endings, and one 10 MB file. Reading
// never crashes, never hangs and leaves the file byte for byte as it was; writing one key changes
// only that key's line (or adds it, or adds the section with it) and keeps every other line.
//
// Where the file uses one line ending throughout and ends with one, every other byte is kept. Where
// it mixes endings or its last line has none, the writer may write every line with one ending; the
// lines themselves are still kept, and that is what is checked there.

#include "platform/ini_file.h"
#include "tests/platform/ini_fuzz_cases.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMap>
#include <QTemporaryDir>
#include <QtTest>

using namespace ini_fuzz;

class TestIniFuzz : public QObject {
    Q_OBJECT

private:
    std::vector<Generated> m_files;

private slots:
    void initTestCase()
    {
        m_files = generate();
        QVERIFY(m_files.size() > 2000);
    }

    void readingNeverHarmsTheFile()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("Config.ini"));
        const IniFile ini(path, kSection);
        int modelled = 0;
        qint64 slowest = 0;
        QString slowestWhat;
        for (size_t i = 0; i < m_files.size(); ++i) {
            const Generated& file = m_files[i];
            const QString what = describe(file, i);
            QVERIFY2(writeBytes(path, file.data), qPrintable(what));
            QElapsedTimer timer;
            timer.start();
            const QString value = ini.readString(kKey, QStringLiteral("<absent>"));
            for (const QString& key : kProgramKeys) {
                ini.readInt(key, -1);
                ini.readString(key, QString());
            }
            ini.readInt(QStringLiteral("No Such Key"), 0);
            const qint64 took = timer.elapsed();
            QVERIFY2(took < kHangGuardMs, qPrintable(QStringLiteral("%1: reading took %2 ms").arg(what).arg(took)));
            if (took > slowest) {
                slowest = took;
                slowestWhat = what;
            }
            QVERIFY2(readBytes(path) == file.data, qPrintable(what + QStringLiteral(": reading changed the file")));
            QVERIFY2(QDir(dir.path()).entryList(QDir::Files) == QStringList{QStringLiteral("Config.ini")},
                     qPrintable(what + QStringLiteral(": reading left files behind")));
            if (file.model.known) {
                ++modelled;
                const QString expected =
                    file.model.hasValue ? QString::fromUtf8(file.model.value) : QStringLiteral("<absent>");
                QVERIFY2(value == expected,
                         qPrintable(QStringLiteral("%1: read \"%2\", expected \"%3\"").arg(what, value, expected)));
            }
        }
        QVERIFY(modelled > 1000);
        qInfo("slowest: %s, %lld ms", qPrintable(slowestWhat), slowest);
    }

    void writingOneKeyKeepsEveryOtherLine()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("Config.ini"));
        const IniFile ini(path, kSection);
        int byteExact = 0;
        QMap<QString, int> hows;
        for (size_t i = 0; i < m_files.size(); ++i) {
            const Generated& file = m_files[i];
            const QString what = describe(file, i);
            QVERIFY2(writeBytes(path, file.data), qPrintable(what));
            const QString value = QStringLiteral("new%1").arg(i);
            QElapsedTimer timer;
            timer.start();
            QVERIFY2(ini.write(kKey, value), qPrintable(what + QStringLiteral(": the write failed")));
            QVERIFY2(timer.elapsed() < kHangGuardMs,
                     qPrintable(QStringLiteral("%1: writing took %2 ms").arg(what).arg(timer.elapsed())));
            const QByteArray after = readBytes(path);
            QVERIFY2(QDir(dir.path()).entryList(QDir::Files) == QStringList{QStringLiteral("Config.ini")},
                     qPrintable(what + QStringLiteral(": the write left files behind")));
            QCOMPARE(ini.readString(kKey, QString()), value);

            const QByteArray keyText = kKey.toUtf8() + '=' + value.toUtf8();
            QString how;
            int at = -1;
            if (oneEndingThroughout(file.data)) {
                // Every other byte is kept; new lines end as the file's lines do.
                const QByteArray end = file.data.contains("\r\n") ? "\r\n" : "\n";
                at = onlyKeyLineChanged(linesWithEndings(file.data), linesWithEndings(after), keyText + end,
                                        '[' + kSection.toUtf8() + ']' + end, &how);
                QVERIFY2(at >= 0, qPrintable(what + QStringLiteral(": bytes besides the key's line changed")));
                ++byteExact;
            } else {
                at = onlyKeyLineChanged(lineTexts(file.data), lineTexts(after), keyText, '[' + kSection.toUtf8() + ']',
                                        &how);
                QVERIFY2(at >= 0, qPrintable(what + QStringLiteral(": lines besides the key's line changed")));
            }
            ++hows[how];

            // Where the generator knows the file: the key's line is replaced in place, added inside
            // the first [Config] section, or added with a new section when there is none.
            const Model& model = file.model;
            if (!model.known)
                continue;
            if (model.keyLine >= 0) {
                QVERIFY2(how == QStringLiteral("replaced") && at == model.keyLine,
                         qPrintable(QStringLiteral("%1: %2 at line %3, not replaced at line %4")
                                        .arg(what, how)
                                        .arg(at)
                                        .arg(model.keyLine)));
            } else if (model.header >= 0) {
                QVERIFY2(how == QStringLiteral("added") && at > model.header && at <= model.nextHeader,
                         qPrintable(QStringLiteral("%1: %2 at line %3, not in the section at lines %4 to %5")
                                        .arg(what, how)
                                        .arg(at)
                                        .arg(model.header)
                                        .arg(model.nextHeader)));
            } else {
                QVERIFY2(how == QStringLiteral("added with the section"),
                         qPrintable(QStringLiteral("%1: %2, without a new section").arg(what, how)));
            }
        }
        QVERIFY(byteExact > 1000);
        // The generated files reach each way of writing the key.
        QVERIFY2(hows.value(QStringLiteral("replaced")) > 100 && hows.value(QStringLiteral("added")) > 100 &&
                     hows.value(QStringLiteral("added with the section")) > 100,
                 qPrintable(QStringLiteral("replaced %1, added %2, added with the section %3")
                                .arg(hows.value(QStringLiteral("replaced")))
                                .arg(hows.value(QStringLiteral("added")))
                                .arg(hows.value(QStringLiteral("added with the section")))));
    }
};

QTEST_GUILESS_MAIN(TestIniFuzz)
#include "test_ini_fuzz.moc"
