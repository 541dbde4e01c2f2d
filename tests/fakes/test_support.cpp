#include "tests/fakes/test_support.h"

#include <QDir>
#include <QFile>

FakePlatform::FakePlatform()
{
    auto capture_ = std::make_unique<FakeCapture>(log);
    auto mixer_ = std::make_unique<FakeMixer>(log);
    auto dialogs_ = std::make_unique<FakeDialogs>();
    capture = capture_.get();
    mixer = mixer_.get();
    dialogs = dialogs_.get();
    platform.capture = std::move(capture_);
    platform.mixer = std::move(mixer_);
    platform.dialogs = std::move(dialogs_);
    auto player_ = std::make_unique<FakePlayer>(log);
    auto hotKeys_ = std::make_unique<FakeHotKeys>(log);
    player = player_.get();
    hotKeys = hotKeys_.get();
    platform.player = std::move(player_);
    platform.hotKeys = std::move(hotKeys_);
    auto desktop_ = std::make_unique<FakeDesktop>();
    desktop = desktop_.get();
    platform.desktop = std::move(desktop_);
}

QString makeProgramFolder(const QString& tempDir)
{
    const QString skinSource = qEnvironmentVariable("TRELVIK_SOURCE_DIR") + QStringLiteral("/assets/skin");
    QDir().mkpath(tempDir + QStringLiteral("/skin"));
    for (const char* name : {"green.skn", "red.skn", "blue.skn"}) {
        const QString n = QString::fromLatin1(name);
        QFile::copy(skinSource + u'/' + n, tempDir + QStringLiteral("/skin/") + n);
    }
    return tempDir;
}

void writeTextFile(const QString& path, const QByteArray& text)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(text);
}

QByteArray readTextFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
