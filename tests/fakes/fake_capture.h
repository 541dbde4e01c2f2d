#pragma once

#include "platform/capture_component.h"
#include "tests/fakes/call_log.h"

#include <functional>

// Records every Brelloc call with its arguments; op 4 answers the scripted source count, op 1 and
// op 0 the scripted results. A stop can leave a real wave file of a chosen length at its path.
class FakeCapture : public CaptureComponent {
public:
    explicit FakeCapture(CallLog& log) : m_log(log) {}

    int32_t Brelloc(const QString& path, int32_t operation, int32_t value1, int32_t value2, int32_t value3,
                    int32_t source) override;
    QString keptPath() const override { return failNextStop ? keptPathOnFailure : QString(); }
    void setSpoolTarget(const QString& plannedPath) override { spoolTarget = plannedPath; }
    void setFallbackFolders(const QStringList& folders) override { fallbackFolders = folders; }
    void setFailureHandler(std::function<void(Failure)> handler) override { m_handler = std::move(handler); }
    Failure failure() const override { return failureNow; }
    int writeError() const override { return writeErrorNow; }
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
    int missedAtStartMs() override { return missedMs; }

    // The running capture fails, as the real one reports it: the failure is known, then the handler
    // runs (on the UI thread).
    void fail(Failure why, int error = 0)
    {
        failureNow = why;
        writeErrorNow = error;
        if (m_handler)
            m_handler(why);
    }

    int32_t sourceCount = 0;
    QString chosenName;
    // What missedAtStartMs() answers: the start of the take the source did not deliver.
    int missedMs = 0;
    // The sources by name, in the order of the list; empty names beyond it.
    QStringList sourceNames;
    int32_t startResult = Started;
    bool failNextStop = false;
    int32_t stopResultOnFailure = KeptElsewhere;
    QString keptPathOnFailure;
    QString spoolTarget;
    QStringList fallbackFolders;
    Failure failureNow = Failure::None;
    int writeErrorNow = 0;
    // When set, op 0 writes a silent wave file of secondsOnStop at the path it is given, as the
    // real component would.
    bool writeFileOnStop = false;
    double secondsOnStop = 0.1;
    // When set, op 0 copies this file to the path it is given (a real recording for the encoder).
    QString recordingOnStop;
    // Runs inside every call, after it is logged: lets a test make things happen while the
    // component works (keys pressed during a save, a close request).
    std::function<void(int32_t operation)> during;

private:
    CallLog& m_log;
    std::function<void(Failure)> m_handler;
};

// Writes a silent 8000 Hz, 8-bit mono wave file of the given length; true when written.
bool writeSilentWave(const QString& path, double seconds);
