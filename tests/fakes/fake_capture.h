#pragma once

#include "platform/capture_component.h"
#include "tests/fakes/call_log.h"

#include <array>
#include <functional>
#include <utility>
#include <vector>

// Records every call with its arguments ("start(2,22050,16)", "save(\"PATH\")"); sourceCount()
// answers the scripted count, start and save the scripted results. A save can leave a real wave
// file of a chosen length at its path.
class FakeCapture : public CaptureComponent {
public:
    explicit FakeCapture(CallLog& log) : m_log(log) {}

    // The calls, for during.
    enum class Call { Save, Start, Pause, Resume, SourceCount, SelectSource };

    int32_t start(int32_t channels, int32_t samplesPerSecond, int32_t bitsPerSample) override;
    // As a server that takes its time: with holdStarts set, startLater's answer waits for
    // finishStart().
    void startLater(int32_t channels, int32_t samplesPerSecond, int32_t bitsPerSample,
                    std::function<void(int32_t result)> done) override
    {
        if (!holdStarts) {
            CaptureComponent::startLater(channels, samplesPerSecond, bitsPerSample, std::move(done));
            return;
        }
        const int32_t result = start(channels, samplesPerSecond, bitsPerSample);
        m_heldStart = [done = std::move(done), result] { done(result); };
    }
    bool startHeld() const { return bool(m_heldStart); }
    void finishStart()
    {
        auto answer = std::move(m_heldStart);
        m_heldStart = nullptr;
        if (answer)
            answer();
    }
    void pause() override { called(Call::Pause, QStringLiteral("pause()")); }
    void resume() override { called(Call::Resume, QStringLiteral("resume()")); }
    int32_t save(const QString& path) override;
    int32_t sourceCount() override
    {
        called(Call::SourceCount, QStringLiteral("sourceCount()"));
        return sources;
    }
    bool selectSource(int32_t index) override
    {
        called(Call::SelectSource, QStringLiteral("selectSource(%1)").arg(index));
        return index >= 0 && index < sources;
    }
    QString keptPath() const override { return failNextStop ? keptPathOnFailure : QString(); }
    void setSpoolTarget(const QString& plannedPath) override { spoolTarget = plannedPath; }
    void setFallbackFolders(const QStringList& folders) override { fallbackFolders = folders; }
    void setFailureHandler(std::function<void(Failure)> handler) override { m_handler = std::move(handler); }
    Failure failure() const override { return failureNow; }
    int writeError() const override { return writeErrorNow; }
    int64_t framesInTake() const override { return framesNow; }
    QString sourceName(int32_t index) override { return sourceNames.value(index); }
    int32_t sourceIndex(const QString& name) override { return int32_t(sourceNames.indexOf(name)); }
    void selectSourceNamed(const QString& name) override
    {
        m_log.add(QStringLiteral("selectSourceNamed(%1)").arg(name));
        chosenName = name;
    }
    // The chosen source stands away while it is not among sourceNames; the first of them records.
    StandIn standIn() override
    {
        if (chosenName.isEmpty() || sourceNames.contains(chosenName) || sourceNames.isEmpty())
            return {};
        return {chosenName, sourceNames.first()};
    }
    // As a server that has not listed its sources yet: with sourcesListed false, the waiting calls
    // run at listSources().
    void whenSourcesKnown(std::function<void()> ready) override
    {
        if (sourcesListed)
            ready();
        else
            m_waitingForSources.push_back(std::move(ready));
    }
    void listSources()
    {
        sourcesListed = true;
        for (auto& ready : std::exchange(m_waitingForSources, {}))
            ready();
    }
    bool sourcesListed = true;
    int missedAtStartMs() override { return missedMs; }
    int keptBeforeStartMs() override { return keptBeforeMs; }
    // Kept, not logged: the window asks for it at every start.
    void setPreRecord(int seconds, int32_t channels, int32_t samplesPerSecond, int32_t bitsPerSample) override
    {
        preRecordSeconds = seconds;
        preRecordFormat = {channels, samplesPerSecond, bitsPerSample};
    }
    void watchSound(const SoundStart& how, std::function<void(bool sound)> handler) override
    {
        m_log.add(handler ? QStringLiteral("watchSound(%1,%2)").arg(how.thresholdDb).arg(how.hangSeconds)
                          : QStringLiteral("watchSound(off)"));
        m_soundHandler = std::move(handler);
    }
    void beginAtSound(bool on) override { m_log.add(QStringLiteral("beginAtSound(%1)").arg(on ? 1 : 0)); }
    void syncSoon() override { m_log.add(QStringLiteral("syncSoon")); }
    // The source's sound begins (true) or has ended (false), as the real one reports it.
    void sound(bool on)
    {
        if (m_soundHandler)
            m_soundHandler(on);
    }

    // The running capture fails, as the real one reports it: the failure is known, then the handler
    // runs (on the UI thread).
    void fail(Failure why, int error = 0)
    {
        failureNow = why;
        writeErrorNow = error;
        if (m_handler)
            m_handler(why);
    }

    int32_t sources = 0;
    QString chosenName;
    // What missedAtStartMs() answers: the start of the take the source did not deliver.
    int missedMs = 0;
    // What keptBeforeStartMs() answers: the part of the take from before its start.
    int keptBeforeMs = 0;
    // What setPreRecord was last given.
    int preRecordSeconds = -1;
    std::array<int32_t, 3> preRecordFormat{};
    // The sources by name, in the order of the list; empty names beyond it.
    QStringList sourceNames;
    int32_t startResult = Started;
    bool holdStarts = false;
    bool failNextStop = false;
    int32_t stopResultOnFailure = KeptElsewhere;
    QString keptPathOnFailure;
    QString spoolTarget;
    QStringList fallbackFolders;
    Failure failureNow = Failure::None;
    int writeErrorNow = 0;
    // What framesInTake() answers; -1: the component cannot tell.
    int64_t framesNow = -1;
    // When set, save writes a silent wave file of secondsOnStop at the path it is given, as the
    // real component would.
    bool writeFileOnStop = false;
    double secondsOnStop = 0.1;
    // When set, save copies this file to the path it is given (a real recording for the encoder).
    QString recordingOnStop;
    // Runs inside every call, after it is logged: lets a test make things happen while the
    // component works (keys pressed during a save, a close request).
    std::function<void(Call call)> during;

private:
    std::vector<std::function<void()>> m_waitingForSources;
    void called(Call call, const QString& logged)
    {
        m_log.add(logged);
        if (during)
            during(call);
    }

    CallLog& m_log;
    std::function<void(Failure)> m_handler;
    std::function<void(bool)> m_soundHandler;
    std::function<void()> m_heldStart;
};

// Writes a silent 8000 Hz, 8-bit mono wave file of the given length; true when written.
bool writeSilentWave(const QString& path, double seconds);
