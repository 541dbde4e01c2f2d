// The recording session on its own, over the fake capture component and with no window: the order
// of the calls it makes, the state it reports, and every operation refused out of turn.

#include "control/controller.h"
#include "control/record_timer.h"
#include "convert/conversion.h"
#include "recording/recorder.h"
#include "recording/recording_clock.h"
#include "tests/fakes/fake_capture.h"
#include "tests/fakes/test_support.h"

#include <QAction>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <sndfile.h>
#include <sys/file.h>

namespace {

using State = Recorder::State;

// Frames and rate of a wave file, as libsndfile reads it.
struct Wave {
    bool ok = false;
    SF_INFO info{};
};

Wave readWave(const QString& path)
{
    Wave wave;
    if (SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &wave.info)) {
        wave.ok = true;
        sf_close(file);
    }
    return wave;
}

struct Message {
    QString text;
    StatusTone tone;
    bool operator==(const Message&) const = default;
};

// A recorder over fakes, in the controller that converts its takes, with what they emit written
// down.
struct Session {
    QTemporaryDir dir;
    CallLog log;
    FakeCapture capture{log};
    AppPaths paths;
    SharedState shared;
    Controller controller{capture, nullptr, paths, shared};
    Recorder& recorder = controller.recorder();
    Conversion& conversion = controller.conversion();
    QList<Message> messages;
    QStringList listed;
    QList<State> states;
    QList<Controller::State> controllerStates;
    QStringList encoderMissing;

    Session() : paths(AppPaths::inFolder(dir.path()))
    {
        writeTextFile(paths.configFile(),
                      "[Config]\nSave Position=" + dir.filePath(QStringLiteral("take.wav")).toUtf8() + "\n");
        recorder.Savefile();
        shared.Channels = 2;
        shared.BitsPerSample = 16;
        shared.SamplesPerSec = 22050;
        capture.writeFileOnStop = true;
        QObject::connect(&controller, &Controller::encoderMissing,
                         [this](const QString& text) { encoderMissing.append(text); });
        QObject::connect(&controller, &Controller::changed, [this] {
            if (controllerStates.isEmpty() || controllerStates.last() != controller.state())
                controllerStates.append(controller.state());
        });
        QObject::connect(&controller, &Controller::status, [this](const QString& text, StatusTone tone) {
            messages.append({text, tone});
        });
        QObject::connect(&controller, &Controller::listed,
                         [this](const QString& length, const QString& path) { listed.append(length + u' ' + path); });
        QObject::connect(&recorder, &Recorder::changed, [this] {
            if (states.isEmpty() || states.last() != recorder.state())
                states.append(recorder.state());
        });
    }
    // Stop, and the save it starts, to its end.
    bool stop()
    {
        const bool accepted = recorder.stop();
        return QTest::qWaitFor([this] { return recorder.state() != State::Saving; }, 10000) && accepted;
    }
    // Until no conversion holds Record any more.
    bool converted()
    {
        return QTest::qWaitFor([this] { return !conversion.holdsRecord(); }, 10000);
    }
    QString file(const QString& name) const { return QFileInfo(dir.filePath(name)).canonicalFilePath(); }
    void standInEncoder() const
    {
        const QString script = paths.programFile(QStringLiteral("lame"));
        writeTextFile(script, "#!/bin/sh\nprintf '  1/2 (50%%)|\\r' >&2\nsleep 0.1\nprintf '  2/2 (100%%)|\\r' >&2\n");
        QFile::setPermissions(script, QFile::permissions(script) | QFileDevice::ExeOwner);
    }
};

} // namespace

class TestRecorder : public QObject {
    Q_OBJECT
private slots:
    void init() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void recordPauseResumeStop()
    {
        Session s;
        QVERIFY(s.recorder.canRecord() && !s.recorder.canStop());
        QVERIFY(s.recorder.record());
        QCOMPARE(s.capture.spoolTarget, QFileInfo(s.dir.filePath(QStringLiteral("take.wav"))).absoluteFilePath());
        QCOMPARE(s.log.calls(), QStringList({"start(2,22050,16)"}));
        QCOMPARE(s.recorder.state(), State::Recording);
        QVERIFY(!s.recorder.canRecord() && s.recorder.canStop());
        QVERIFY(s.recorder.clock().isActive());
        QCOMPARE(s.recorder.megabytesPerSecond(), QStringLiteral("0.084"));

        QSignalSpy shown(&s.recorder, &Recorder::clockShown);
        s.recorder.tick();
        s.recorder.tick();
        QCOMPARE(shown.size(), 2);
        QCOMPARE(shown.last().first().toString(), QStringLiteral("0.084 MB 0:01"));

        QVERIFY(s.recorder.pauseOrResume());
        QCOMPARE(s.recorder.state(), State::Paused);
        QCOMPARE(s.recorder.pauseCaption(), QStringLiteral("Resume F10"));
        QVERIFY(!s.recorder.clock().isActive());
        QVERIFY(s.recorder.pauseOrResume());
        QCOMPARE(s.recorder.pauseCaption(), QStringLiteral("Pause F10"));
        s.recorder.tick();

        s.messages.clear();
        s.capture.secondsOnStop = 2.5;
        QVERIFY(s.stop());
        const QString take = s.file(QStringLiteral("take.wav"));
        QCOMPARE(s.log.calls(),
                 QStringList({"start(2,22050,16)", "pause()", "resume()", QStringLiteral("save(\"%1\")").arg(take)}));
        QCOMPARE(s.messages,
                 QList<Message>({{QStringLiteral("Saving your recording, Please wait..."), StatusTone::Attention},
                                 {take, StatusTone::Unchanged},
                                 {QStringLiteral("Recording is over,Wave file has saved in appointed path"),
                                  StatusTone::Unchanged}}));
        QCOMPARE(s.listed, QStringList({"00:02 " + take}));
        QCOMPARE(s.states, QList<State>({State::Starting, State::Recording, State::Paused, State::Recording,
                                         State::Saving, State::Idle}));
        QVERIFY(!s.recorder.clock().isActive());
        QCOMPARE(s.recorder.outputSuffix(), int16_t(1));

        // The next take is numbered; the stored location comes back after each Stop.
        s.recorder.record();
        s.stop();
        QCOMPARE(s.listed.last(), "00:02 " + s.file(QStringLiteral("take_1.wav")));
        QCOMPARE(s.shared.OutputPath, s.dir.filePath(QStringLiteral("take.wav")));
    }

    void operationsOutOfTurnAreRefused()
    {
        Session s;
        QVERIFY(!s.recorder.stop());
        QVERIFY(!s.recorder.pauseOrResume());
        QVERIFY(s.log.calls().isEmpty());

        QVERIFY(s.recorder.record());
        QVERIFY(!s.recorder.record()); // a second start would abandon the running capture
        QVERIFY(!s.recorder.startTest(0, s.dir.filePath(QStringLiteral("test.wav"))));
        QCOMPARE(s.log.calls().size(), 1);

        // While the file is written, nothing else starts and no second Stop runs.
        QList<bool> accepted;
        s.capture.during = [&](FakeCapture::Call call) {
            if (call != FakeCapture::Call::Save)
                return;
            QCOMPARE(s.recorder.state(), State::Saving);
            accepted = {s.recorder.stop(), s.recorder.record(), s.recorder.pauseOrResume(),
                        s.recorder.startTest(0, QStringLiteral("/tmp/x.wav"))};
        };
        QVERIFY(s.stop());
        QCOMPARE(accepted, QList<bool>({false, false, false, false}));
        QCOMPARE(s.log.calls().filter(QStringLiteral("save(")).size(), 1);
        QCOMPARE(s.listed.size(), 1);
        QCOMPARE(s.recorder.state(), State::Idle);
    }

    void aStartThatFailsSaysWhyAndRecordsNothing()
    {
        Session s;
        for (const auto& [result, text] :
             {std::pair{int32_t(CaptureComponent::NoServer), QStringLiteral("no sound server answers")},
              std::pair{int32_t(CaptureComponent::NoSource), QStringLiteral("the source is not available")},
              std::pair{int32_t(CaptureComponent::NoFolder), QStringLiteral("no folder can take the recording")}}) {
            s.capture.startResult = result;
            s.messages.clear();
            QVERIFY(s.recorder.record()); // taken on; the start then fails
            QCOMPARE(s.messages.size(), 1);
            QVERIFY2(s.messages.first().text.startsWith(QStringLiteral("Recording could not start: ")) &&
                         s.messages.first().text.contains(text),
                     qPrintable(s.messages.first().text));
            QCOMPARE(s.messages.first().tone, StatusTone::Attention);
            QCOMPARE(s.recorder.state(), State::Idle);
            QVERIFY(s.recorder.canRecord());
            QVERIFY(!s.recorder.clock().isActive());
        }
        QVERIFY(s.listed.isEmpty());
        QCOMPARE(s.recorder.outputSuffix(), int16_t(0));
        QCOMPARE(QDir(s.dir.path()).entryList(QDir::Files), QStringList({"Config.ini"}));
    }

    void aStartThatTakesItsTimeHoldsRecordAndTakesStop()
    {
        Session s;
        s.capture.holdStarts = true;
        QVERIFY(s.recorder.record());
        QCOMPARE(s.recorder.state(), State::Starting);
        QVERIFY(s.capture.startHeld());
        // Meanwhile nothing else starts, Pause waits for the take, and Stop is taken.
        QVERIFY(!s.controller.recordAction()->isEnabled());
        QVERIFY(!s.controller.pauseAction()->isEnabled());
        QVERIFY(s.controller.stopAction()->isEnabled());
        QVERIFY(!s.recorder.record());
        QVERIFY(!s.recorder.pauseOrResume());
        QVERIFY(!s.recorder.startTest(0, s.dir.filePath(QStringLiteral("test.wav"))));
        QVERIFY(s.controller.isBusy());
        s.controller.stopAction()->trigger();
        QCOMPARE(s.recorder.state(), State::Starting);
        QCOMPARE(s.log.calls(), QStringList({"start(2,22050,16)"}));
        // Once the source delivers, the take ends at once: saved and listed, never shown recording.
        s.capture.finishStart();
        QVERIFY(QTest::qWaitFor([&] { return s.recorder.state() == State::Idle; }, 10000));
        const QString take = s.file(QStringLiteral("take.wav"));
        QCOMPARE(s.log.calls(), QStringList({"start(2,22050,16)", QStringLiteral("save(\"%1\")").arg(take)}));
        QCOMPARE(s.listed.size(), 1);
        QCOMPARE(s.states, QList<State>({State::Starting, State::Saving, State::Idle}));
        QVERIFY(s.controller.recordAction()->isEnabled());

        // A start that fails late says why, and Record is back.
        s.states.clear();
        s.capture.startResult = CaptureComponent::NoServer;
        QVERIFY(s.recorder.record());
        s.messages.clear();
        s.capture.finishStart();
        QCOMPARE(s.recorder.state(), State::Idle);
        QCOMPARE(s.messages.size(), 1);
        QCOMPARE(s.messages.first().text, QStringLiteral("Recording could not start: no sound server answers."));
        QVERIFY(!s.recorder.clock().isActive());

        // A source that fails while the take starts: the failure is not lost, the take ends with it.
        s.capture.startResult = CaptureComponent::Started;
        QVERIFY(s.recorder.record());
        s.capture.fail(CaptureComponent::Failure::SourceGone);
        QCOMPARE(s.recorder.state(), State::Starting);
        s.capture.finishStart();
        QVERIFY(QTest::qWaitFor([&] { return s.recorder.state() == State::Idle; }, 10000));
        QVERIFY2(s.messages.last().text.startsWith(QStringLiteral("Recording stopped: the source is gone.")),
                 qPrintable(s.messages.last().text));
        s.capture.failureNow = CaptureComponent::Failure::None;

        // The wizard's test asked to finish before it started is saved once it has.
        QList<bool> saved;
        QObject::connect(&s.recorder, &Recorder::testSaved, [&](bool ok) { saved.append(ok); });
        const QString test = s.dir.filePath(QStringLiteral("test.wav"));
        QVERIFY(s.recorder.startTest(0, test));
        s.recorder.finishTest(test);
        QVERIFY(!s.log.calls().last().startsWith(QStringLiteral("save(")));
        s.capture.finishStart();
        QVERIFY(QTest::qWaitFor([&] { return !saved.isEmpty(); }, 10000));
        QCOMPARE(saved, QList<bool>({true}));
        QCOMPARE(s.log.calls().last(), QStringLiteral("save(\"%1\")").arg(test));
        QCOMPARE(s.recorder.state(), State::Idle);
    }

    void aCaptureThatFailsIsSavedAtOnceAndSaysWhy()
    {
        for (const auto& [failure, error, reason] :
             {std::tuple{CaptureComponent::Failure::SourceGone, 0, QStringLiteral("the source is gone")},
              std::tuple{CaptureComponent::Failure::ServerGone, 0, QStringLiteral("the sound server is gone")},
              std::tuple{CaptureComponent::Failure::WriteFailed, ENOSPC, QStringLiteral("the disk is full")},
              std::tuple{CaptureComponent::Failure::WriteFailed, EIO,
                         QStringLiteral("a write failed (Input/output error)")}}) {
            Session s;
            QSignalSpy troubled(&s.recorder, &Recorder::takeTroubled);
            s.recorder.record();
            for (int i = 0; i < 42; ++i)
                s.recorder.tick();
            s.capture.secondsOnStop = 41.6;
            s.capture.fail(failure, error);
            QTRY_COMPARE(s.recorder.state(), State::Idle);
            const QString take = s.file(QStringLiteral("take.wav"));
            QVERIFY(s.recorder.canRecord());
            QCOMPARE(s.log.calls().last(), QStringLiteral("save(\"%1\")").arg(take));
            const QString expected = QStringLiteral("Recording stopped: %1. 0:41 kept in %2").arg(reason, take);
            QCOMPARE(s.messages.last(), (Message{expected, StatusTone::Attention}));
            QCOMPARE(troubled.size(), 1);
            QCOMPARE(s.listed, QStringList({"00:41 " + take}));
            // The failure was dealt with: a later report of it, or a Stop, does nothing more.
            s.capture.fail(failure, error);
            QVERIFY(!s.recorder.stop());
            QCOMPARE(s.log.calls().filter(QStringLiteral("save(")).size(), 1);
        }

        // Paused when the source goes: saved as well; with nothing captured, no file is claimed.
        Session s;
        s.recorder.record();
        s.recorder.pauseOrResume();
        s.capture.failNextStop = true;
        s.capture.fail(CaptureComponent::Failure::SourceGone);
        QTRY_COMPARE(s.recorder.state(), State::Idle);
        QCOMPARE(s.messages.last().text,
                 QStringLiteral("Recording stopped: the source is gone. Nothing was recorded."));
        QVERIFY(s.listed.isEmpty());
    }

    void onlyAFileThatHoldsAudioCountsAsSaved()
    {
        Session s;
        // A file of no frames is no recording: it goes, and nothing is listed.
        s.recorder.record();
        s.capture.secondsOnStop = 0;
        s.stop();
        QCOMPARE(s.messages.last().text, QStringLiteral("The recording could not be saved as %1: nothing was recorded.")
                                             .arg(s.dir.filePath(QStringLiteral("take.wav"))));
        QVERIFY(!QFileInfo::exists(s.dir.filePath(QStringLiteral("take.wav"))));
        QVERIFY(s.listed.isEmpty());

        // The list shows the file's length where the clock is off by a second or more.
        s.recorder.record();
        for (int i = 0; i < 42; ++i)
            s.recorder.tick();
        s.capture.secondsOnStop = 17.8;
        s.stop();
        QCOMPARE(s.listed, QStringList({"00:17 " + s.file(QStringLiteral("take_1.wav"))}));
        QCOMPARE(s.messages.last().text, QStringLiteral("Recording is over,Wave file has saved in appointed path"));
    }

    void aTakeWhoseFolderWentIsSavedElsewhereAndSaysWhere()
    {
        Session s;
        const QString folder = s.dir.filePath(QStringLiteral("gone"));
        QDir().mkpath(folder);
        s.shared.OutputPath = folder + QStringLiteral("/take.wav");
        writeTextFile(s.paths.configFile(), "[Config]\nSave Position=" + s.shared.OutputPath.toUtf8() + "\n");
        s.recorder.record();
        QVERIFY(QDir(folder).removeRecursively());
        const QString saved = s.dir.filePath(QStringLiteral("take.wav"));
        QVERIFY(writeSilentWave(saved, 5.5));
        s.capture.failNextStop = true;
        s.capture.keptPathOnFailure = saved;
        s.stop();
        QCOMPARE(s.messages.last().text, QStringLiteral("Its folder was removed; the recording is saved as %1")
                                             .arg(s.file(QStringLiteral("take.wav"))));
        QCOMPARE(s.listed, QStringList({"00:05 " + s.file(QStringLiteral("take.wav"))}));
        // Where such a take may go, in order.
        QCOMPARE(s.capture.fallbackFolders.first(), s.paths.recordingFolder());
        QCOMPARE(s.capture.fallbackFolders.last(), QDir::homePath());
    }

    void aTakeWhoseFolderHadToBeMadeIsConvertedAndSaysSo()
    {
        // The capture makes the take's folder when it is missing at Stop, as the real one does.
        for (const bool thereAtRecord : {true, false}) {
            Session s;
            s.standInEncoder();
            s.shared.ConvertOnCompletion = 1;
            s.shared.LameOptions = QStringLiteral(" -b 128 -m j");
            const QString folder = s.dir.filePath(QStringLiteral("made"));
            if (thereAtRecord)
                QDir().mkpath(folder);
            s.shared.OutputPath = folder + QStringLiteral("/take.wav");
            writeTextFile(s.paths.configFile(), "[Config]\nSave Position=" + s.shared.OutputPath.toUtf8() + "\n");
            s.capture.during = [&folder](FakeCapture::Call call) {
                if (call == FakeCapture::Call::Save)
                    QDir().mkpath(folder);
            };
            s.recorder.record();
            if (thereAtRecord)
                QVERIFY(QDir(folder).removeRecursively());
            s.recorder.tick();
            s.recorder.tick();
            s.stop();
            const QString take = QFileInfo(folder + QStringLiteral("/take.wav")).canonicalFilePath();
            QVERIFY(!take.isEmpty());
            QCOMPARE(s.listed, QStringList({"00:01 " + take, "00:01 " + take.left(take.size() - 3) + "mp3"}));
            QCOMPARE(s.messages.last().text,
                     (thereAtRecord
                          ? QStringLiteral("Its folder was removed and made again; the recording is saved as %1")
                          : QStringLiteral("Its folder did not exist and was made; the recording is saved as %1"))
                         .arg(take));
            QCOMPARE(s.messages.last().tone, StatusTone::Attention);
        }
    }

    void aStartTheSourceDidNotDeliverIsTold()
    {
        // More than a fragment missing: said at the next tick of the clock, and again at Stop.
        Session s;
        s.capture.missedMs = 740;
        s.recorder.record();
        s.recorder.tick();
        const Message missing{QStringLiteral("Recording, but the first 0.7 s after Record are missing: the source "
                                             "delivered no sound before."),
                              StatusTone::Attention};
        QCOMPARE(s.messages.last(), missing);
        s.recorder.tick();
        QCOMPARE(s.messages.count(missing), 1);
        s.stop();
        QCOMPARE(s.messages.last().text,
                 QStringLiteral("Saved as %1, but its first 0.7 s are missing: the source delivered no sound before.")
                     .arg(s.file(QStringLiteral("take.wav"))));

        // Within a fragment: the usual texts.
        Session t;
        t.capture.missedMs = 40;
        t.recorder.record();
        t.recorder.tick();
        QCOMPARE(t.messages.last().text, QStringLiteral("The Program is Recording now........"));
        t.stop();
        QCOMPARE(t.messages.last().text, QStringLiteral("Recording is over,Wave file has saved in appointed path"));
    }

    void takesLeftByAKilledProgramAreRecovered()
    {
        Session s;
        // A spool whose header never got its sizes: the program was killed before it wrote them.
        const QString spool = s.dir.filePath(QStringLiteral("take.wav.recording"));
        QVERIFY(writeSilentWave(spool, 2.5));
        {
            QFile file(spool);
            QVERIFY(file.open(QIODevice::ReadWrite));
            file.seek(4);
            file.write(QByteArray(4, '\0'));
            file.seek(40);
            file.write(QByteArray(4, '\0'));
        }
        const QString empty = s.dir.filePath(QStringLiteral("other.wav.recording"));
        QVERIFY(writeSilentWave(empty, 0));
        const QString notes = s.dir.filePath(QStringLiteral("notes.recording"));
        writeTextFile(notes, "not a recording");
        const QString scratch = s.dir.filePath(QStringLiteral("trelvik-test-77.wav.recording"));
        QVERIFY(writeSilentWave(scratch, 1.5));
        // A take another program is recording right now: its spool is locked.
        const QString live = s.dir.filePath(QStringLiteral("live.wav.recording"));
        QVERIFY(writeSilentWave(live, 1.5));
        QFile held(live);
        QVERIFY(held.open(QIODevice::ReadOnly));
        QCOMPARE(::flock(held.handle(), LOCK_EX), 0);

        QCOMPARE(s.recorder.recoverTakes({s.dir.path()}), 1);
        const QString take = s.file(QStringLiteral("take.wav"));
        QCOMPARE(s.listed, QStringList({"00:02 " + take}));
        QCOMPARE(s.messages.last(),
                 (Message{QStringLiteral("Recovered a recording not saved when Trelvik last ended: ") + take,
                          StatusTone::Attention}));
        const Wave wave = readWave(take);
        QVERIFY(wave.ok);
        QCOMPARE(wave.info.frames, sf_count_t(2.5 * 8000));
        QVERIFY(!QFileInfo::exists(spool));
        QVERIFY(!QFileInfo::exists(empty));
        QCOMPARE(readTextFile(notes), QByteArray("not a recording"));
        QVERIFY(QFileInfo::exists(scratch));
        QVERIFY(QFileInfo::exists(live));

        // The recovered take had the planned name; the next take gets the one after it.
        s.recorder.record();
        s.stop();
        QCOMPARE(s.listed.last(), "00:00 " + s.file(QStringLiteral("take_1.wav")));
    }

    void theTestRecordingTakesTheSessionWhileItRuns()
    {
        Session s;
        const QString scratch = s.dir.filePath(QStringLiteral("scratch.wav"));
        QList<bool> saved;
        QObject::connect(&s.recorder, &Recorder::testSaved, [&](bool ok) { saved.append(ok); });
        QVERIFY(s.recorder.startTest(2, scratch));
        // From the start until the test recording is saved, the session is the test's.
        QCOMPARE(s.recorder.state(), State::Testing);
        QVERIFY(!s.recorder.record() && !s.recorder.canRecord() && !s.controller.canRecord());
        QVERIFY(!s.controller.recordAction()->isEnabled());
        s.recorder.finishTest(scratch);
        QCOMPARE(s.recorder.state(), State::Testing);
        QTRY_COMPARE(saved, QList<bool>({true}));
        QCOMPARE(s.log.calls(),
                 QStringList({"selectSource(2)", "start(1,22050,8)", QStringLiteral("save(\"%1\")").arg(scratch)}));
        QCOMPARE(s.capture.spoolTarget, scratch);
        QCOMPARE(s.recorder.state(), State::Idle);
        QVERIFY(s.listed.isEmpty());
        QCOMPARE(s.recorder.outputSuffix(), int16_t(0));
    }

    void stopConvertsWhenAskedAndHoldsRecordMeanwhile()
    {
        Session s;
        s.standInEncoder();
        s.shared.ConvertOnCompletion = 1;
        s.shared.LameOptions = QStringLiteral(" -b 128 -m j");
        QList<Controller::State> seenWhileEncoding;
        QObject::connect(&s.conversion, &Conversion::status, [&](const QString& text) {
            if (text.startsWith(QStringLiteral("Encoding")))
                seenWhileEncoding.append(s.controller.state());
        });
        s.recorder.record();
        s.recorder.tick();
        s.recorder.tick();
        s.stop();
        QVERIFY(s.converted());
        const QString take = s.file(QStringLiteral("take.wav"));
        QCOMPARE(s.listed, QStringList({"00:01 " + take, "00:01 " + take.left(take.size() - 3) + "mp3"}));
        QVERIFY(!seenWhileEncoding.isEmpty());
        for (Controller::State state : std::as_const(seenWhileEncoding))
            QCOMPARE(state, Controller::State::Converting);
        using C = Controller::State;
        QCOMPARE(s.controllerStates, QList<C>({C::Starting, C::Recording, C::Saving, C::Converting, C::Idle}));
        QCOMPARE(s.messages.last().text, QStringLiteral("Recording is over,Wave file has saved in appointed path"));
        QVERIFY(s.controller.canRecord());

        // A conversion holds Record from its start to the end of the encoder's output, and lets it
        // go when the encoder cannot even start.
        QList<bool> canRecordWhileEncoding;
        QObject::connect(&s.conversion, &Conversion::status,
                         [&] { canRecordWhileEncoding.append(s.controller.canRecord()); });
        s.controller.convert(take, s.dir.filePath(QStringLiteral("again.mp3")));
        QVERIFY(!s.controller.recordAction()->isEnabled());
        QVERIFY(s.converted());
        QVERIFY(canRecordWhileEncoding.contains(false));
        QVERIFY(s.controller.canRecord() && s.controller.recordAction()->isEnabled());
        QFile::remove(s.paths.programFile(QStringLiteral("lame")));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", s.dir.path().toUtf8());
        s.controller.convert(take, s.dir.filePath(QStringLiteral("never.mp3")));
        QVERIFY(s.converted());
        qputenv("PATH", path);
        QCOMPARE(s.encoderMissing, QStringList({"File or command not found"}));
        QVERIFY(s.controller.canRecord());
    }

    void aTakeIsSavedInTheChosenFormatOrKeptAsWave()
    {
        Session s;
        s.shared.ConvertOnCompletion = 1; // the take is compressed already: nothing to convert
        s.standInEncoder();
        writeTextFile(s.paths.configFile(),
                      "[Config]\nSave Position=" + s.dir.filePath(QStringLiteral("take.wav")).toUtf8() +
                          "\nSave Format=FLAC\n");
        s.capture.secondsOnStop = 1.5;
        // A FLAC of that name is there already: the take gets the next number, in both formats.
        writeTextFile(s.dir.filePath(QStringLiteral("take.flac")), "earlier");
        QVERIFY(s.recorder.record());
        QCOMPARE(s.capture.spoolTarget, QFileInfo(s.dir.filePath(QStringLiteral("take_1.wav"))).absoluteFilePath());
        s.recorder.tick();
        s.recorder.tick();
        QVERIFY(s.stop());
        QVERIFY(QTest::qWaitFor([&] { return s.recorder.state() == State::Idle; }, 10000));
        const QString flac = s.file(QStringLiteral("take_1.flac"));
        QVERIFY(!flac.isEmpty());
        QVERIFY(!QFileInfo::exists(s.dir.filePath(QStringLiteral("take_1.wav"))));
        QVERIFY(QDir(s.dir.path()).entryList({QStringLiteral("*.encoding")}, QDir::Files).isEmpty());
        QCOMPARE(readTextFile(s.dir.filePath(QStringLiteral("take.flac"))), QByteArray("earlier"));
        SF_INFO info{};
        SNDFILE* file = sf_open(QFile::encodeName(flac).constData(), SFM_READ, &info);
        QVERIFY(file);
        sf_close(file);
        QCOMPARE(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_FLAC);
        QCOMPARE(info.frames, sf_count_t(1.5 * 8000));
        QCOMPARE(s.listed, QStringList({"00:01 " + flac}));
        QCOMPARE(s.messages.last().text, QStringLiteral("Recording is over,FLAC file has saved in appointed path"));
        QVERIFY(!s.conversion.holdsRecord());

        // An encoder that fails: the wave file is kept and listed, and the status line says so.
        writeTextFile(s.paths.configFile(),
                      "[Config]\nSave Position=" + s.dir.filePath(QStringLiteral("take.wav")).toUtf8() +
                          "\nSave Format=MP3\n");
        const QString script = s.paths.programFile(QStringLiteral("lame"));
        writeTextFile(script, "#!/bin/sh\necho 'lame: out of order' >&2\nexit 3\n");
        s.listed.clear();
        QVERIFY(s.recorder.record());
        QVERIFY(s.stop());
        QVERIFY(QTest::qWaitFor([&] { return s.recorder.state() == State::Idle; }, 10000));
        const QString wave = s.file(QStringLiteral("take_2.wav"));
        QVERIFY2(!wave.isEmpty(), qPrintable(s.listed.join(u'|') + u'|' + s.messages.last().text));
        QVERIFY(!QFileInfo::exists(s.dir.filePath(QStringLiteral("take_2.mp3"))));
        QVERIFY(QDir(s.dir.path()).entryList({QStringLiteral("*.encoding")}, QDir::Files).isEmpty());
        QCOMPARE(s.listed, QStringList({"00:01 " + wave}));
        const QString said = s.messages.last().text;
        QVERIFY2(said.startsWith(QStringLiteral("It was not saved as MP3: ")) &&
                     said.endsWith(QStringLiteral(". The recording is kept as the wave file ") + wave),
                 qPrintable(said));
        QCOMPARE(s.messages.last().tone, StatusTone::Attention);

        // The name the copy was to take is taken while the take records: that file stays as it is,
        // the copy goes, and the wave file is kept and listed.
        writeTextFile(s.paths.configFile(),
                      "[Config]\nSave Position=" + s.dir.filePath(QStringLiteral("take.wav")).toUtf8() +
                          "\nSave Format=FLAC\n");
        s.listed.clear();
        QVERIFY(s.recorder.record());
        writeTextFile(s.dir.filePath(QStringLiteral("take_3.flac")), "someone else's");
        QVERIFY(s.stop());
        QVERIFY(QTest::qWaitFor([&] { return s.recorder.state() == State::Idle; }, 10000));
        const QString kept = s.file(QStringLiteral("take_3.wav"));
        QVERIFY2(!kept.isEmpty(), qPrintable(s.listed.join(u'|') + u'|' + s.messages.last().text));
        QCOMPARE(readTextFile(s.dir.filePath(QStringLiteral("take_3.flac"))), QByteArray("someone else's"));
        QVERIFY(QDir(s.dir.path()).entryList({QStringLiteral("*.encoding")}, QDir::Files).isEmpty());
        QCOMPARE(s.listed, QStringList({"00:01 " + kept}));
        QCOMPARE(s.messages.last().text,
                 QStringLiteral("It was not saved as FLAC: take_3.flac was taken meanwhile. The recording is kept as "
                                "the wave file ") +
                     kept);
    }

    void theConversionAtStopNeverReplacesAnMp3()
    {
        Session s;
        s.standInEncoder();
        s.shared.ConvertOnCompletion = 1;
        s.shared.LameOptions = QStringLiteral(" -b 128 -m j");
        // An MP3 kept from an earlier take (its wave was deleted): the name is not free.
        const QString earlier = s.dir.filePath(QStringLiteral("take.mp3"));
        writeTextFile(earlier, "ID3 earlier take");
        s.recorder.record();
        s.stop();
        const QString take = s.file(QStringLiteral("take_1.wav"));
        QCOMPARE(s.listed, QStringList({"00:00 " + take, "00:00 " + take.left(take.size() - 3) + "mp3"}));
        QCOMPARE(readTextFile(earlier), QByteArray("ID3 earlier take"));
        QVERIFY(!QFileInfo::exists(s.dir.filePath(QStringLiteral("take.wav"))));

        // A location that is an MP3 name: the take is not converted onto itself.
        writeTextFile(s.paths.configFile(),
                      "[Config]\nSave Position=" + s.dir.filePath(QStringLiteral("song.mp3")).toUtf8() + "\n");
        s.recorder.Savefile();
        s.recorder.restartNumbering();
        s.listed.clear();
        QFile::remove(s.paths.programFile(QStringLiteral("lame")));
        s.recorder.record();
        s.stop();
        const QString song = s.file(QStringLiteral("song.mp3"));
        QCOMPARE(s.listed, QStringList({"00:00 " + song}));
        QCOMPARE(s.messages.last(), (Message{Conversion::alreadyMp3(song), StatusTone::Attention}));
        QVERIFY(s.encoderMissing.isEmpty()); // the encoder was not even asked for
    }

    void clockDisplay_data()
    {
        QTest::addColumn<int>("seconds");
        QTest::addColumn<QString>("rate");
        QTest::addColumn<QString>("panel");
        QTest::addColumn<QString>("minutes");
        QTest::addColumn<QString>("secs");
        QTest::newRow("0") << 0 << "0.084"
                           << "0.000 MB 0:00"
                           << "0"
                           << "0";
        QTest::newRow("5") << 5 << "0.084"
                           << "0.420 MB 0:05"
                           << "0"
                           << "5";
        QTest::newRow("59") << 59 << "0.084"
                            << "4.956 MB 0:59"
                            << "0"
                            << "59";
        QTest::newRow("60") << 60 << "0.084"
                            << "5.040 MB 1:00"
                            << "1"
                            << "0";
        QTest::newRow("75") << 75 << "0.084"
                            << "6.300 MB 1:15"
                            << "1"
                            << "15";
        QTest::newRow("6000") << 6000 << "0.084"
                              << "504.000 MB 100:00"
                              << "100"
                              << "0";
        QTest::newRow("rate 0") << 61 << "0.000"
                                << "0.000 MB 1:01"
                                << "1"
                                << "1";
    }

    // Armed, sound starts a take where the sound began and quiet for the hang time ends it (one file
    // for each sound) or pauses it (one take); a take by hand is the user's; disarmed, sound does
    // nothing. The clock counts the seconds kept from before the start.
    void soundStartsPausesAndEndsTakes()
    {
        Session s;
        SoundStart files;
        files.thresholdDb = -20;
        files.hangSeconds = 1.5;
        files.takes = SoundStart::Takes::FilePerSound;
        QCOMPARE(s.controller.arm(files), QString());
        QVERIFY(s.controller.armed());
        QCOMPARE(s.log.calls(), QStringList({"watchSound(-20,1.5)"}));
        QCOMPARE(s.messages.last().text, QStringLiteral("Armed: recording starts on sound above -20 dBFS."));

        s.capture.keptBeforeMs = 5400;
        s.log.clear();
        s.capture.sound(true);
        QCOMPARE(s.log.calls(), QStringList({"beginAtSound(1)", "start(2,22050,16)"}));
        QCOMPARE(s.recorder.state(), State::Recording);
        QCOMPARE(s.recorder.elapsedSeconds(), 5);
        s.capture.sound(true); // sound again while it records: nothing new
        s.capture.sound(false);
        QVERIFY(QTest::qWaitFor([&] { return s.recorder.state() == State::Idle; }, 10000));
        QVERIFY(QFileInfo::exists(s.dir.filePath(QStringLiteral("take.wav"))));
        QVERIFY(QTest::qWaitFor([&] { return s.messages.last().text.startsWith(u"Armed:"); }, 2000));
        s.capture.sound(true);
        QCOMPARE(s.recorder.state(), State::Recording);
        // Sound that begins again while the take is being saved starts the next take once it is.
        s.capture.sound(false);
        QCOMPARE(s.recorder.state(), State::Saving);
        s.capture.sound(true);
        QVERIFY(QTest::qWaitFor([&] { return s.recorder.state() == State::Recording; }, 10000));
        QVERIFY(QFileInfo::exists(s.dir.filePath(QStringLiteral("take_1.wav"))));
        s.capture.sound(false);
        QVERIFY(QTest::qWaitFor([&] { return s.recorder.state() == State::Idle; }, 10000));
        QVERIFY(QFileInfo::exists(s.dir.filePath(QStringLiteral("take_2.wav"))));

        // A take by hand while armed: quiet neither pauses nor ends it, sound does not resume it.
        s.capture.keptBeforeMs = 0;
        QVERIFY(s.recorder.record());
        s.capture.sound(false);
        QCOMPARE(s.recorder.state(), State::Recording);
        QVERIFY(s.recorder.pauseOrResume());
        s.log.clear();
        s.capture.sound(true);
        QCOMPARE(s.recorder.state(), State::Paused);
        QCOMPARE(s.log.calls(), QStringList());
        QVERIFY(s.stop());

        // One take with pauses: quiet pauses it, the next sound resumes it where that sound began.
        SoundStart pauses = files;
        pauses.takes = SoundStart::Takes::OneWithPauses;
        QCOMPARE(s.controller.arm(pauses), QString());
        s.capture.sound(true);
        QCOMPARE(s.recorder.state(), State::Recording);
        s.capture.sound(false);
        QCOMPARE(s.recorder.state(), State::Paused);
        s.log.clear();
        s.capture.sound(true);
        QCOMPARE(s.log.calls(), QStringList({"beginAtSound(1)", "resume()"}));
        QCOMPARE(s.recorder.state(), State::Recording);
        QVERIFY(s.stop());

        // Disarmed: the capture stops watching, and sound starts nothing.
        s.log.clear();
        s.controller.disarm();
        QVERIFY(!s.controller.armed());
        QCOMPARE(s.log.calls(), QStringList({"watchSound(off)", "beginAtSound(0)"}));
        s.capture.sound(true);
        QCOMPARE(s.recorder.state(), State::Idle);

        // A start sound asks for that Record refuses leaves the next start at its own moment.
        QCOMPARE(s.controller.arm(files), QString());
        s.shared.OutputPath = s.dir.path() + u'/';
        s.log.clear();
        s.capture.sound(true);
        QCOMPARE(s.recorder.state(), State::Idle);
        QCOMPARE(s.log.calls(), QStringList({"beginAtSound(1)", "beginAtSound(0)"}));
    }

    // The setup test records: arming is refused, and says why.
    // "Stop after" counts the frames the take holds, not the time it has run: a source that stalls
    // makes the timed take run on until it holds its length.
    void aTimedTakeCountsItsFrames()
    {
        Session s;
        s.shared.SamplesPerSec = 8000;
        s.capture.framesNow = 0;
        // The source delivers 20 ms at a time while it is not stalled.
        bool stalled = false;
        QTimer source;
        source.setInterval(20);
        QObject::connect(&source, &QTimer::timeout, [&] {
            if (!stalled && s.recorder.state() == State::Recording)
                s.capture.framesNow += 160;
        });
        source.start();
        QCOMPARE(s.controller.setTimer(QStringLiteral("record-after:1s+stop-after:1s")), QString());
        QTRY_COMPARE_WITH_TIMEOUT(s.recorder.state(), State::Recording, 5000);
        // A third of the length in, the source stalls for longer than the take's length in time.
        QTRY_VERIFY_WITH_TIMEOUT(s.capture.framesNow >= 2400, 2000);
        stalled = true;
        const int64_t before = s.capture.framesNow;
        QTest::qWait(1500);
        QCOMPARE(s.recorder.state(), State::Recording);
        // It delivers again: the take ends once it holds its length, give or take the tenth of a
        // second of the delivery's own jitter.
        stalled = false;
        QTRY_VERIFY_WITH_TIMEOUT(s.recorder.state() != State::Recording, 3000);
        QVERIFY2(s.capture.framesNow >= 8000 - 800 && s.capture.framesNow - before <= 8000,
                 qPrintable(QString::number(s.capture.framesNow)));
        QTRY_COMPARE_WITH_TIMEOUT(s.recorder.state(), State::Idle, 5000);
        QVERIFY(!s.controller.timerArmed());

        // A source whose first audio reaches the take 0.6 s after the start (a monitor holds its
        // first handovers), then steadily: that lag is the delivery's own, and the take ends once
        // it has lasted its length in time, not 0.6 s later.
        s.capture.framesNow = 0;
        QElapsedTimer since;
        QObject::connect(&s.recorder, &Recorder::changed, [&] {
            if (s.recorder.state() == State::Recording && !since.isValid())
                since.start();
        });
        stalled = true;
        QTimer late;
        late.setSingleShot(true);
        QObject::connect(&s.recorder, &Recorder::changed, [&] {
            if (s.recorder.state() == State::Recording && !late.isActive() && stalled)
                late.start(600);
        });
        QObject::connect(&late, &QTimer::timeout, [&] { stalled = false; });
        QCOMPARE(s.controller.setTimer(QStringLiteral("record-after:1s+stop-after:1s")), QString());
        QTRY_VERIFY_WITH_TIMEOUT(s.recorder.state() != State::Recording && since.isValid(), 5000);
        // Stopped after about a second of time: 0.4 s of audio at 8000 frames a second, not 1 s.
        QVERIFY2(s.capture.framesNow <= 3200 + 1600, qPrintable(QString::number(s.capture.framesNow)));
        QVERIFY2(s.capture.framesNow >= 3200 - 1600, qPrintable(QString::number(s.capture.framesNow)));
        QTRY_COMPARE_WITH_TIMEOUT(s.recorder.state(), State::Idle, 5000);

        // A component that cannot count its frames: the time recorded stands in. The status line
        // says, while the take records, when the timer stops it, and counts down.
        source.stop();
        s.capture.framesNow = -1;
        QSignalSpy said(&s.controller, &Controller::status);
        QCOMPARE(s.controller.setTimer(QStringLiteral("record-after:1s+stop-after:3s")), QString());
        QTRY_COMPARE_WITH_TIMEOUT(s.recorder.state(), State::Recording, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(s.recorder.state(), State::Idle, 6000);
        QStringList texts;
        for (const QList<QVariant>& args : std::as_const(said))
            texts.append(args.at(0).toString());
        const QString recording = QStringLiteral("The Program is Recording now........");
        const qsizetype first = texts.indexOf(recording + QStringLiteral(" The timed recording stops in 0:03."));
        QVERIFY2(first > 0 && texts.at(first - 1) == recording, qPrintable(texts.join(u'|')));
        QVERIFY2(texts.contains(recording + QStringLiteral(" The timed recording stops in 0:01.")),
                 qPrintable(texts.join(u'|')));
        QVERIFY2(texts.last().startsWith(QStringLiteral("Recording is over")) || texts.last() == Recorder::savedText(),
                 qPrintable(texts.join(u'|')));
    }

    // A take by hand and a timer: a timer for later can be set while the take runs, one that
    // would start now cannot; when a timer's time comes while the take by hand still runs, that
    // take goes on, the timer says it could not start, and a daily timer stays set for its next
    // day.
    void timersBesideATakeByHand()
    {
        Session s;
        QVERIFY(s.recorder.record());
        QTRY_COMPARE(s.recorder.state(), State::Recording);
        const QString now = s.controller.setTimer(QStringLiteral("stop-after:1m"));
        QVERIFY2(now.contains(QStringLiteral("starts now")), qPrintable(now));
        QCOMPARE(s.controller.timer().state(), RecordTimer::State::Idle);

        QCOMPARE(s.controller.setTimer(QStringLiteral("record-after:1s+stop-after:1s")), QString());
        QVERIFY(s.controller.timerArmed());
        const QString off =
            QStringLiteral("The timer could not start the recording: Trelvik was busy. The timer is off.");
        QTRY_VERIFY_WITH_TIMEOUT(!s.messages.isEmpty() && s.messages.last().text == off, 4000);
        QCOMPARE(s.controller.timer().state(), RecordTimer::State::Idle);
        QCOMPARE(s.recorder.state(), State::Recording);

        // Two seconds ahead, every day: a time of day with seconds, as the command line takes it.
        const QDateTime at = QDateTime::currentDateTime().addSecs(2);
        const QString words =
            QStringLiteral("record-at:%1+stop-after:1s+daily").arg(at.toString(QStringLiteral("HH:mm:ss")));
        QCOMPARE(s.controller.setTimer(words), QString());
        const QDateTime first = s.controller.timer().startTime();
        QTRY_VERIFY_WITH_TIMEOUT(
            !s.messages.isEmpty() && s.messages.last().text.contains(QStringLiteral("daily timer")), 5000);
        QVERIFY2(s.messages.last().text.startsWith(QStringLiteral(
                     "The timer could not start the recording: Trelvik was busy. The daily timer records next at ")),
                 qPrintable(s.messages.last().text));
        QCOMPARE(s.controller.timer().state(), RecordTimer::State::Armed);
        QCOMPARE(s.controller.timer().startTime().toLocalTime(), first.toLocalTime().addDays(1));
        QCOMPARE(s.recorder.state(), State::Recording);
        // The machine goes to sleep while the take records: what was recorded goes to the disk
        // first. Asleep while nothing records, nothing is asked of the capture.
        s.log.clear();
        s.controller.machineSleeps(true);
        s.controller.machineSleeps(false);
        QCOMPARE(s.log.calls(), QStringList({QStringLiteral("syncSoon")}));
        // The take by hand ends as any does; the daily timer stays set.
        QVERIFY(s.stop());
        QVERIFY(s.controller.timerArmed());
        s.log.clear();
        s.controller.machineSleeps(true);
        QVERIFY2(!s.log.calls().contains(QStringLiteral("syncSoon")), qPrintable(s.log.calls().join(u'|')));
    }

    // Nothing keeps the machine awake for a timer: the status line says so at once, the countdown
    // leaves that news on the line a while, and carries the warning once it counts again.
    void aSleepWarningStaysWithTheCountdown()
    {
        Session s;
        QCOMPARE(s.controller.setTimer(QStringLiteral("record-after:1h")), QString());
        const QString why = QStringLiteral("the computer may go to sleep during a timed recording: nothing answers");
        s.controller.setSleepWarning(why);
        const QString warning = QStringLiteral("Timer set, but %1.").arg(why);
        QCOMPARE(s.messages.last().text, warning);
        s.controller.checkTimer();
        QCOMPARE(s.messages.last().text, warning);
        // Once the line holds something else, the countdown takes it, with the warning.
        Q_EMIT s.controller.status(QStringLiteral("Recording is over"), StatusTone::Unchanged);
        s.controller.checkTimer();
        QVERIFY2(s.messages.last().text.startsWith(QStringLiteral("Timer set: recording starts in ")) &&
                     s.messages.last().text.endsWith(QStringLiteral(". But %1.").arg(why)),
                 qPrintable(s.messages.last().text));
        // Kept awake after all: the countdown alone.
        s.controller.setSleepWarning({});
        s.controller.checkTimer();
        QVERIFY2(s.messages.last().text.endsWith(QStringLiteral(":00.")) ||
                     s.messages.last().text.endsWith(QStringLiteral(":59.")),
                 qPrintable(s.messages.last().text));
    }

    void armingWaitsForTheSetupTest()
    {
        Session s;
        s.capture.holdStarts = true;
        QVERIFY(s.recorder.startTest(0, s.dir.filePath(QStringLiteral("test.wav"))));
        QVERIFY(!s.controller.arm(SoundStart{}).isEmpty());
        QVERIFY(!s.controller.armed());
        s.capture.finishStart();
    }

    void clockDisplay()
    {
        QFETCH(int, seconds);
        QFETCH(QString, rate);
        QFETCH(QString, panel);
        QFETCH(QString, minutes);
        QFETCH(QString, secs);
        const recording_clock::Display display = recording_clock::display(seconds, rate);
        QCOMPARE(display.panelText, panel);
        QCOMPARE(display.minutesText, minutes);
        QCOMPARE(display.secondsText, secs);
    }

    void listLengths()
    {
        QCOMPARE(recording_clock::lengthText(QStringLiteral("1"), QStringLiteral("5")), QStringLiteral("01:05"));
        QCOMPARE(recording_clock::lengthText(QStringLiteral("100"), QStringLiteral("0")), QStringLiteral("100:00"));
        QCOMPARE(recording_clock::lengthText(QString(), QString()), QStringLiteral("00:00")); // before any tick
    }
};

QTEST_MAIN(TestRecorder)
#include "test_recorder.moc"
