// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDate>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTime>
#include <QTimeZone>

#include <optional>

// Timed recording: when a take starts (now, at a time, after a delay), when it stops (after a
// recorded duration, at a time, at a file size), and whether it repeats every day.
//
// Wall-clock times are turned into UTC instants once, when the timer is armed, and the timer is
// then checked against the wall clock. It keeps no long-running countdown of its own: such a
// countdown stands still while the machine sleeps and does not follow a clock that is set.
namespace record_timer {

// A start or stop is late (the machine slept, or the clock was set forward) when it is acted on more
// than this many seconds after its instant.
inline constexpr qint64 lateAfterSeconds = 5;

// A value read from the command line, or what is wrong with it in plain words.
template <typename T> struct Parsed {
    T value{};
    QString error; // empty when the text was read
    bool ok() const { return error.isEmpty(); }
};

// A time as written: "21:30", "21:30:15", "2026-12-24T21:30", "2026-12-24T21:30:00Z",
// "2026-12-24T21:30+01:00".
struct WallClockTime {
    QDate date; // null: the next such time of day
    QTime time;
    std::optional<int> utcOffset; // seconds east of UTC when written with Z or an offset
    QString text;                 // as written, for messages
};

// "90m", "1h30m", "45s", "2h", "1h0m30s": hours, minutes, seconds in that order, each optional,
// lower-case units, at least one part. Seconds; zero is read (callers that refuse it say so).
Parsed<qint64> parseDuration(const QString& text);
// "HH:MM", "HH:MM:SS", or an ISO 8601 date and time with an optional "Z" or "+HH:MM"/"-HH:MM".
Parsed<WallClockTime> parseWallClockTime(const QString& text);
// Bytes from "1048576", "500k", "500KB", "700MB", "1.5GB", "2GiB". Decimal units: k/kB = 1000,
// M/MB = 1000000, G/GB = 10^9; binary units: KiB = 1024, MiB = 1048576, GiB = 2^30. Units ignore
// case; a unit allows up to nine decimals, and the size is rounded down to a whole byte.
Parsed<qint64> parseSize(const QString& text);

struct TimerPlan {
    enum class Start { Now, At, After };
    enum class Stop { None, After, At, AtSize };
    Start start = Start::Now;
    WallClockTime startAt;  // Start::At
    qint64 startDelay = 0;  // Start::After, seconds from arming
    Stop stop = Stop::None; //
    qint64 stopAfter = 0;   // Stop::After, seconds of recorded sound
    WallClockTime stopAt;   // Stop::At; a time of day is the first such time after the start
    qint64 stopAtBytes = 0; // Stop::AtSize, file size in bytes
    bool daily = false;     // the start (and a stop-at time of day) repeat every day
};

// A timer command from the command line: "record-at:TIME", "record-after:DURATION",
// "stop-after:DURATION", "stop-at:TIME", "stop-at-size:SIZE", "daily", chained with "+"
// ("record-at:21:30+stop-after:90m+daily"), or "cancel-timer" alone.
struct TimerCommand {
    bool cancel = false; // cancel-timer
    TimerPlan plan;
    QString error; // non-empty: nothing is to be armed or cancelled
    bool ok() const { return error.isEmpty(); }
};

// Reads a whole chain and checks it can be armed now (times not passed, the stop after the start).
TimerCommand parseTimerCommand(const QString& text, const QDateTime& nowUtc,
                               const QTimeZone& zone = QTimeZone::systemTimeZone());

// A wall-clock time turned into an instant.
struct ResolvedTime {
    QDateTime utc;
    QDate date;   // the local date it was read on
    QString note; // set when the local time was ambiguous or did not exist
};

// The instant the local time date, time reads in zone. A time that occurs twice (the clocks go
// back) is its first occurrence; a time the clocks skip is the moment they jump. Both say so in note.
ResolvedTime resolveLocalTime(QDate date, QTime time, const QTimeZone& zone);
// When is written with a date: that instant. Without: the first such time of day at or after
// after. The time is read in its own offset if it has one, else in zone.
ResolvedTime resolveWallClockTime(const WallClockTime& when, const QDateTime& after, const QTimeZone& zone);

// One take of a plan, as instants.
struct Occurrence {
    QDateTime start; // UTC
    QDateTime stop;  // UTC, for Stop::At
    QDate day;       // for daily plans: the local date of the start
    QString note;    // daylight-saving notes on the start and stop times
    QString error;   // what keeps the plan from being armed
};

// The next take of plan at nowUtc: the first one for a plan just armed.
Occurrence firstOccurrence(const TimerPlan& plan, const QDateTime& nowUtc, const QTimeZone& zone);
// The take of a daily plan on day (the start's local date).
Occurrence occurrenceOn(const TimerPlan& plan, QDate day, const QTimeZone& zone);

// "1:02:03" (hours, minutes, seconds) or "0:45" (minutes, seconds) for a number of seconds.
QString clockText(qint64 seconds);

} // namespace record_timer

// Starts and stops a timed take. The program calls check() every second and when the machine wakes
// up, feeds the take's progress through recordedFrames() and fileBytes(), and reports through
// takeEnded() that a take the timer started is over, whoever stopped it.
class RecordTimer : public QObject {
    Q_OBJECT
public:
    enum class State {
        Idle,    // nothing armed
        Armed,   // waiting for the start
        Running, // startDue was emitted; waiting for the stop or the end of the take
    };
    Q_ENUM(State)

    // The wall clock, replaced in tests.
    struct Clock {
        virtual ~Clock() = default;
        virtual QDateTime nowUtc() const = 0;
        // QDateTime::currentDateTimeUtc().
        static const Clock& system();
    };

    explicit RecordTimer(const Clock& clock = Clock::system(), const QTimeZone& zone = QTimeZone::systemTimeZone(),
                         QObject* parent = nullptr);

    // Resolves the plan's times now and checks at once (a start "now" is due straight away).
    // False, with error set and nothing armed, when the plan cannot be armed now.
    bool arm(const record_timer::TimerPlan& plan, QString* error = nullptr);
    // Disarms; a take already started is left to the program. Daily plans end too.
    void cancel();

    State state() const { return m_state; }
    const record_timer::TimerPlan& plan() const { return m_plan; }
    QDateTime startTime() const { return m_occurrence.start; }
    // For a stop at a time: that instant. For a stop after a duration: the nominal end.
    QDateTime stopTime() const;
    // Daylight-saving notes on the current times; empty when none apply.
    QString note() const { return m_occurrence.note; }
    // "starts in 1:02:03", "stops in 0:45", "stops at 700 MB"; empty when there is nothing to count.
    QString timeLeftText() const;
    // For a stop after a duration: the frames the take is to have at rate frames per second, so that
    // the recorder can end it on that very frame; -1 for other stops.
    qint64 framesToRecord(int rate) const;

public slots:
    // Compares the wall clock with the armed times and emits what is due.
    void check();
    // The take so far; rate is in frames per second.
    void recordedFrames(qint64 frames, int rate);
    // The take's file size so far.
    void fileBytes(qint64 bytes);
    // The take started on startDue is over. A daily plan arms its next day, others go idle.
    void takeEnded();

signals:
    // The start instant has passed. late: by more than lateAfterSeconds (asleep, or the clock set).
    void startDue(bool late, qint64 lateBySeconds);
    // Start and stop both passed before the take could start; a daily plan is armed for a later day.
    void missed();
    // The take is to stop now.
    void stopDue();
    // state(), the times or the note changed.
    void changed();

private:
    void setState(State state);
    void armNextDay(bool afterMiss);
    void dueStop();

    const Clock& m_clock;
    QTimeZone m_zone;
    State m_state = State::Idle;
    record_timer::TimerPlan m_plan;
    record_timer::Occurrence m_occurrence;
    qint64 m_frames = 0;
    int m_rate = 0;
    qint64 m_bytes = 0;
    bool m_stopSent = false;
};
