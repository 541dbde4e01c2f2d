#pragma once

#include "platform/capture_component.h"
#include "tests/fakes/call_log.h"

// Records every Brelloc call with its arguments; op 4 answers the scripted source count and op 0
// the scripted result.
class FakeCapture : public CaptureComponent {
public:
    explicit FakeCapture(CallLog& log) : m_log(log) {}

    int32_t Brelloc(const QString& path, int32_t operation, int32_t value1, int32_t value2, int32_t value3,
                    int32_t source) override;
    QString keptPath() const override { return failNextStop ? keptPathOnFailure : QString(); }
    void setSpoolFolder(const QString& folder) override { spoolFolder = folder; }

    int32_t sourceCount = 0;
    bool failNextStop = false;
    QString keptPathOnFailure;
    QString spoolFolder;
    // When set, op 0 writes a small file at the path it is given, as the real component would.
    bool writeFileOnStop = false;
    // When set, op 0 copies this file to the path it is given (a real recording for the encoder).
    QString recordingOnStop;

private:
    CallLog& m_log;
};
