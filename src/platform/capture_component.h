#pragma once

#include <QString>
#include <cstdint>

// The capture component: one entry point, Brelloc(path, operation, value1, value2, value3, source).
//
//   op 0  stop; what was captured is written to path as a PCM wave file, complete on return.
//         Returns 0 on success, non-zero when the file could not be written at path; keptPath()
//         then names the file that holds the audio instead (empty when nothing was captured).
//   op 1  start capturing from the selected source: value1 channels, value2 samples per second,
//         value3 bits per sample.
//   op 2  pause; op 3 continue into the same recording.
//   op 4  returns the number of recording sources.
//   op 5  selects source (0-based) for later captures.
// Every call returns promptly on the UI thread.
class CaptureComponent {
public:
    virtual ~CaptureComponent() = default;

    virtual int32_t Brelloc(const QString& path, int32_t operation, int32_t value1, int32_t value2, int32_t value3,
                            int32_t source) = 0;

    // Where the audio of the last failed op 0 was kept; empty when op 0 succeeded.
    virtual QString keptPath() const = 0;

    // The folder for the spool file of the next op 1: the recording streams to disk there, beside
    // its destination, so that op 0 is a rename.
    virtual void setSpoolFolder(const QString& folder) = 0;
};
