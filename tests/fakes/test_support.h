#pragma once

#include "platform/platform.h"
#include "tests/fakes/call_log.h"
#include "tests/fakes/fake_capture.h"
#include "tests/fakes/fake_desktop.h"
#include "tests/fakes/fake_dialogs.h"
#include "tests/fakes/fake_hot_keys.h"
#include "tests/fakes/fake_mixer.h"
#include "tests/fakes/fake_player.h"

#include <QString>

// A Platform made of fakes that share one call log; the raw pointers stay valid while the Platform
// lives.
struct FakePlatform {
    FakePlatform();
    CallLog log;
    Platform platform;
    FakeCapture* capture = nullptr;
    FakeMixer* mixer = nullptr;
    FakeDialogs* dialogs = nullptr;
    FakePlayer* player = nullptr;
    FakeHotKeys* hotKeys = nullptr;
    FakeDesktop* desktop = nullptr;
};

// A program folder for tests: a temporary folder with copies of the real skin files.
QString makeProgramFolder(const QString& tempDir);
// Writes text to a file, replacing it.
void writeTextFile(const QString& path, const QByteArray& text);
QByteArray readTextFile(const QString& path);
