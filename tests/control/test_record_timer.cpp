// SPDX-License-Identifier: GPL-3.0-or-later
#include "control/record_timer.h"

#include <QSignalSpy>
#include <QtTest>

using namespace record_timer;

namespace {

QDateTime utc(const char* text)
{
    return QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate).toUTC();
}

QTimeZone berlin()
{
    return QTimeZone(QByteArrayLiteral("Europe/Berlin"));
}

QString local(const QDateTime& when)
{
    return when.toTimeZone(berlin()).toString(QStringLiteral("yyyy-MM-dd HH:mm t"));
}

TimerCommand parse(const char* command, const QDateTime& now)
{
    return parseTimerCommand(QString::fromLatin1(command), now, berlin());
}

struct Case {
    const char* text;
    const char* gist; // a part of the error message
};

// Every text is refused with its gist in the message.
template <typename Read> void expectErrors(std::initializer_list<Case> cases, Read read)
{
    for (const Case& c : cases) {
        const QString error = read(QString::fromLatin1(c.text));
        QVERIFY2(error.contains(QLatin1String(c.gist)),
                 qPrintable(QLatin1String(c.text) + QLatin1String(" -> ") + error));
    }
}

struct FakeClock : RecordTimer::Clock {
    QDateTime now;
    QDateTime nowUtc() const override { return now; }
};

// A timer in Berlin on a clock the test sets.
struct Rig {
    FakeClock clock;
    RecordTimer timer{clock, berlin()};
    QSignalSpy starts{&timer, &RecordTimer::startDue};
    QSignalSpy stops{&timer, &RecordTimer::stopDue};
    QSignalSpy missed{&timer, &RecordTimer::missed};

    bool arm(const char* now, const char* command)
    {
        clock.now = utc(now);
        const TimerCommand parsed = parse(command, clock.now);
        return parsed.ok() && timer.arm(parsed.plan);
    }
    void at(const QDateTime& now)
    {
        clock.now = now;
        timer.check();
    }
    void at(const char* now) { at(utc(now)); }
    bool startedLate(int index, qint64 by) const
    {
        return starts.at(index).at(0).toBool() && starts.at(index).at(1).toLongLong() == by;
    }
};

} // namespace

class TestRecordTimer : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(berlin().isValid(), "the Europe/Berlin zone (tzdata) is needed"); }

    void durationsTimesAndSizes()
    {
        using Value = std::pair<const char*, qint64>;
        for (const auto& [text, seconds] : std::initializer_list<Value>{
                 {"90m", 5400}, {"1h30m", 5400}, {"45s", 45}, {"2h", 7200}, {"1h0m30s", 3630}}) {
            QCOMPARE(parseDuration(QString::fromLatin1(text)).value, seconds);
            QVERIFY(parseDuration(QString::fromLatin1(text)).ok());
        }
        expectErrors({{"", "no duration"},
                      {"-5m", "negative"},
                      {"90", "needs a unit"},
                      {"90M", "lower-case"},
                      {"1H30M", "lower-case"},
                      {"30m1h", "not a duration"},
                      {"1.5h", "not a duration"},
                      {"90 m", "not a duration"},
                      {"9999999999h", "too long"}},
                     [](const QString& t) { return parseDuration(t).error; });

        Parsed<WallClockTime> t = parseWallClockTime(QStringLiteral("07:05:09"));
        QVERIFY(t.ok() && !t.value.date.isValid() && !t.value.utcOffset);
        QCOMPARE(t.value.time, QTime(7, 5, 9));
        t = parseWallClockTime(QStringLiteral("2026-12-24T21:30"));
        QVERIFY(t.ok() && !t.value.utcOffset);
        QCOMPARE(t.value.date, QDate(2026, 12, 24));
        QCOMPARE(t.value.time, QTime(21, 30));
        QCOMPARE(parseWallClockTime(QStringLiteral("2026-12-24T21:30:00Z")).value.utcOffset, std::optional(0));
        QCOMPARE(parseWallClockTime(QStringLiteral("2026-12-24T21:30+01:00")).value.utcOffset, std::optional(3600));
        QCOMPARE(parseWallClockTime(QStringLiteral("2026-12-24T21:30-05:30")).value.utcOffset, std::optional(-19800));
        expectErrors({{"", "no time"},
                      {"24:00", "hours run from 00 to 23"},
                      {"21:60", "minutes"},
                      {"21:3", "not a time"},
                      {"21:30Z", "not a time"},
                      {"2026-02-30T10:00", "no such date"},
                      {"2026-12-24 21:30", "not a time"},
                      {"2026-12-24T21:30+15:00", "UTC offset"},
                      {"tonight", "not a time"}},
                     [](const QString& t) { return parseWallClockTime(t).error; });

        // k, M, G are powers of 1000 in any case; KiB, MiB, GiB powers of 1024.
        for (const auto& [text, bytes] : std::initializer_list<Value>{{"1048576", 1048576},
                                                                      {"700MB", 700000000},
                                                                      {"700mb", 700000000},
                                                                      {"700M", 700000000},
                                                                      {"1.5GB", 1500000000},
                                                                      {"500k", 500000},
                                                                      {"500KB", 500000},
                                                                      {"1KiB", 1024},
                                                                      {"1.5MiB", 1572864},
                                                                      {"2GiB", qint64(2) << 30},
                                                                      {"100B", 100},
                                                                      {"0.0015KB", 1},
                                                                      {"1.0000005k", 1000}}) {
            const Parsed<qint64> s = parseSize(QString::fromLatin1(text));
            QVERIFY2(s.ok(), qPrintable(s.error));
            QCOMPARE(s.value, bytes);
        }
        expectErrors({{"", "no size"},
                      {"-5MB", "negative"},
                      {"1.5", "whole number"},
                      {"5XB", "unknown unit"},
                      {"MB", "not a size"},
                      {"1,5GB", "not a size"},
                      {"99999999999GB", "too large"},
                      {"1.0000000001GB", "nine decimals"}},
                     [](const QString& t) { return parseSize(t).error; });
    }

    void commandChains()
    {
        const QDateTime now = utc("2026-06-01T20:00:00+02:00");
        const auto start = [&](const char* command) {
            return firstOccurrence(parse(command, now).plan, now, berlin());
        };
        TimerCommand c = parse("record-at:21:30+stop-after:90m", now);
        QVERIFY2(c.ok(), qPrintable(c.error));
        QCOMPARE(c.plan.start, TimerPlan::Start::At);
        QCOMPARE(c.plan.stop, TimerPlan::Stop::After);
        QCOMPARE(c.plan.stopAfter, qint64(5400));
        // A time of day is the next one: today while ahead, else tomorrow.
        QCOMPARE(start("record-at:21:30").start, utc("2026-06-01T21:30:00+02:00"));
        QCOMPARE(start("record-at:19:00").start, utc("2026-06-02T19:00:00+02:00"));
        // A date without an offset is local; an offset ("+" is no separator there) wins over the zone.
        QCOMPARE(start("record-at:2026-12-24T21:30").start, utc("2026-12-24T20:30:00Z"));
        QCOMPARE(start("record-at:2026-12-24T21:30Z").start, utc("2026-12-24T21:30:00Z"));
        c = parse("record-at:2026-12-24T21:30-03:00+stop-at-size:1.5GB", now);
        QCOMPARE(firstOccurrence(c.plan, now, berlin()).start, utc("2026-12-25T00:30:00Z"));
        QCOMPARE(c.plan.stopAtBytes, qint64(1500000000));
        // A stop-at time of day is the first after the start: overnight takes work.
        Occurrence o = start("stop-at:01:00+record-at:23:00+daily");
        QCOMPARE(o.start, utc("2026-06-01T23:00:00+02:00"));
        QCOMPARE(o.stop, utc("2026-06-02T01:00:00+02:00"));
        o = start("record-after:10m+stop-at:20:05");
        QCOMPARE(o.start, now.addSecs(600));
        QCOMPARE(o.stop, utc("2026-06-02T20:05:00+02:00"));
        QVERIFY(parse("cancel-timer", now).cancel);

        expectErrors({{"", "no timer command"},
                      {"record-at:21:30+stop-after:90m+stop-at:23:00", "only one stop"},
                      {"stop-at-size:1GB+stop-after:1h", "only one stop"},
                      {"record-at:21:30+record-after:5m", "only one start"},
                      {"record-at:2026-07-01T21:30+stop-at:2026-07-01T21:00", "not after the start"},
                      {"record-at:2026-07-01T21:30+stop-at:2026-07-01T21:30", "not after the start"},
                      {"record-at:21:30+stop-at:21:30", "is the time of record-at"},
                      {"record-at:2026-05-01T10:00", "already passed"},
                      {"stop-at:2026-06-01T19:00", "not after the start"},
                      {"record-at:21:30+stop-after:0m", "longer than zero"},
                      {"stop-at-size:0", "at least one byte"},
                      {"record-at:25:00", "record-at: \"25:00\""},
                      {"stop-after:90M", "stop-after: \"90M\": the units are lower-case"},
                      {"record-at:21:30+stop-aftr:90m", "\"stop-aftr\" is not a timer command"},
                      {"record-at", "needs a value, as in record-at:21:30"},
                      {"record-at:21:30+", "not a time"},
                      {"+daily", "a command is missing"},
                      {"cancel-timer+record-at:21:30", "stands alone"},
                      {"cancel-timer:now", "takes no value"},
                      {"stop-after:1h+daily", "daily needs record-at"},
                      {"record-at:21:30+stop-at:2026-07-01T23:00+daily", "time of day, not a date"},
                      {"record-at:21:30+daily+daily", "twice"}},
                     [&](const QString& text) {
                         const TimerCommand bad = parseTimerCommand(text, now, berlin());
                         // An invalid chain arms nothing.
                         return bad.cancel || bad.plan.start != TimerPlan::Start::Now ||
                                        bad.plan.stop != TimerPlan::Stop::None
                                    ? QStringLiteral("a plan came back")
                                    : bad.error;
                     });

        // arm() refuses a plan whose time passed since it was read.
        Rig rig;
        rig.clock.now = now.addSecs(3600);
        QString error;
        QVERIFY(!rig.timer.arm(parse("record-at:2026-06-01T20:30", now).plan, &error));
        QVERIFY(error.contains(QLatin1String("already passed")));
        QCOMPARE(rig.timer.state(), RecordTimer::State::Idle);
    }

    void daylightSavingTime()
    {
        // Back: 02:00-03:00 occurs twice on 2026-10-25; the first (CEST) is used.
        const ResolvedTime back = resolveLocalTime(QDate(2026, 10, 25), QTime(2, 30), berlin());
        QCOMPARE(back.utc, utc("2026-10-25T00:30:00Z"));
        QCOMPARE(back.note, QStringLiteral("02:30 occurs twice on 2026-10-25; the first, 02:30 CEST, is used"));
        // Forward: 02:00-03:00 is skipped on 2026-03-29; the jump itself is used.
        const ResolvedTime forward = resolveLocalTime(QDate(2026, 3, 29), QTime(2, 30), berlin());
        QCOMPARE(local(forward.utc), QStringLiteral("2026-03-29 03:00 CEST"));
        QCOMPARE(forward.note, QStringLiteral("02:30 does not exist on 2026-03-29: the clocks go forward from 02:00 "
                                              "to 03:00; 03:00 CEST is used"));
        // The edges of both hours need no note.
        for (const auto& [date, time, instant] : std::initializer_list<std::tuple<QDate, QTime, const char*>>{
                 {QDate(2026, 3, 29), QTime(3, 0), "2026-03-29T01:00:00Z"},
                 {QDate(2026, 3, 29), QTime(1, 59), "2026-03-29T00:59:00Z"},
                 {QDate(2026, 10, 25), QTime(3, 0), "2026-10-25T02:00:00Z"},
                 {QDate(2026, 10, 25), QTime(1, 59), "2026-10-24T23:59:00Z"}}) {
            QCOMPARE(resolveLocalTime(date, time, berlin()).utc, utc(instant));
            QVERIFY(resolveLocalTime(date, time, berlin()).note.isEmpty());
        }
        // The timer shows the note of the times it armed.
        Rig rig;
        QVERIFY(rig.arm("2026-10-24T12:00:00Z", "record-at:02:30+stop-at:2026-10-25T03:00"));
        QCOMPARE(rig.timer.startTime(), back.utc);
        QCOMPARE(rig.timer.stopTime(), utc("2026-10-25T02:00:00Z"));
        QCOMPARE(rig.timer.note(), back.note);
    }

    void dailyAcrossDaylightSavingChanges()
    {
        Rig rig;
        QVERIFY(rig.arm("2026-03-28T12:00:00Z", "record-at:21:30+stop-at:22:00+daily"));
        const QDateTime saturday = rig.timer.startTime();
        QCOMPARE(local(saturday), QStringLiteral("2026-03-28 21:30 CET"));
        rig.at(saturday);
        rig.at(rig.timer.stopTime());
        QCOMPARE(rig.starts.count(), 1);
        QCOMPARE(rig.stops.count(), 1);
        rig.timer.takeEnded();
        QCOMPARE(rig.timer.state(), RecordTimer::State::Armed);
        QCOMPARE(local(rig.timer.startTime()), QStringLiteral("2026-03-29 21:30 CEST"));
        QCOMPARE(local(rig.timer.stopTime()), QStringLiteral("2026-03-29 22:00 CEST"));
        QCOMPARE(saturday.secsTo(rig.timer.startTime()), 23 * 3600);

        // Autumn: 25 hours from one 21:30 to the next.
        QVERIFY(rig.arm("2026-10-24T12:00:00Z", "record-at:21:30+daily"));
        const QDateTime autumn = rig.timer.startTime();
        rig.at(autumn);
        rig.timer.takeEnded();
        QCOMPARE(local(rig.timer.startTime()), QStringLiteral("2026-10-25 21:30 CET"));
        QCOMPARE(autumn.secsTo(rig.timer.startTime()), 25 * 3600);
        // A take longer than a day skips the start it overran.
        rig.at(rig.timer.startTime());
        rig.clock.now = rig.clock.now.addSecs(26 * 3600);
        rig.timer.takeEnded();
        QCOMPARE(local(rig.timer.startTime()), QStringLiteral("2026-10-27 21:30 CET"));
    }

    void wallClockJumpsAndSleep()
    {
        Rig rig;
        QVERIFY(rig.arm("2026-06-01T20:00:00+02:00", "record-at:21:30+stop-at:23:00"));
        // Ticks alone never start it, nor does a clock set back; a clock set forward past the start does.
        for (int i = 0; i < 10000; ++i)
            rig.timer.check();
        rig.at("2026-06-01T19:00:00+02:00");
        QCOMPARE(rig.starts.count(), 0);
        QCOMPARE(rig.timer.timeLeftText(), QStringLiteral("starts in 2:30:00"));
        rig.at("2026-06-01T22:00:00+02:00");
        QCOMPARE(rig.starts.count(), 1);
        QVERIFY(rig.startedLate(0, 1800));
        QCOMPARE(rig.timer.state(), RecordTimer::State::Running);
        QCOMPARE(rig.timer.timeLeftText(), QStringLiteral("stops in 1:00:00"));
        rig.at("2026-06-01T23:00:00+02:00");
        rig.timer.check();
        QCOMPARE(rig.stops.count(), 1);
        rig.timer.takeEnded();
        QCOMPARE(rig.timer.state(), RecordTimer::State::Idle);

        // Within the grace a start is on time.
        QVERIFY(rig.arm("2026-06-01T20:00:00+02:00", "record-at:21:30+stop-at:23:00"));
        rig.at(rig.timer.startTime().addSecs(lateAfterSeconds));
        QVERIFY(!rig.starts.at(1).at(0).toBool());
        // Woken after the stop: missed, nothing started; a stop after a duration ends the window too.
        QVERIFY(rig.arm("2026-06-01T20:00:00+02:00", "record-at:21:30+stop-at:23:00"));
        rig.at("2026-06-02T07:00:00+02:00");
        QVERIFY(rig.arm("2026-06-01T20:00:00+02:00", "record-at:21:30+stop-after:90m"));
        rig.at("2026-06-01T23:00:00+02:00");
        QCOMPARE(rig.missed.count(), 2);
        QCOMPARE(rig.starts.count(), 2);
        QCOMPARE(rig.timer.state(), RecordTimer::State::Idle);

        // A daily plan asleep through Monday's take, woken in Tuesday's: Monday missed, Tuesday late.
        QVERIFY(rig.arm("2026-06-01T20:00:00+02:00", "record-at:21:30+stop-at:23:00+daily"));
        rig.at("2026-06-02T21:40:00+02:00");
        QCOMPARE(rig.missed.count(), 3);
        QVERIFY(rig.startedLate(2, 600));
        QCOMPARE(local(rig.timer.startTime()), QStringLiteral("2026-06-02 21:30 CEST"));
        // Woken after Wednesday's stop: armed for Thursday.
        rig.timer.takeEnded();
        rig.at("2026-06-03T23:30:00+02:00");
        QCOMPARE(rig.missed.count(), 4);
        QCOMPARE(rig.starts.count(), 3);
        QCOMPARE(rig.timer.state(), RecordTimer::State::Armed);
        QCOMPARE(local(rig.timer.startTime()), QStringLiteral("2026-06-04 21:30 CEST"));
    }

    void stopsByFramesAndSize()
    {
        Rig rig;
        QVERIFY(rig.arm("2026-06-01T20:00:00Z", "stop-after:90m"));
        // A start now is due at once.
        QCOMPARE(rig.starts.count(), 1);
        QCOMPARE(rig.timer.state(), RecordTimer::State::Running);
        const int rate = 44100;
        const qint64 frames = qint64(90) * 60 * rate;
        QCOMPARE(rig.timer.framesToRecord(rate), frames);
        rig.timer.recordedFrames(frames - rate * 45, rate);
        QCOMPARE(rig.timer.timeLeftText(), QStringLiteral("stops in 0:45"));
        // Recorded sound counts, wall time (a pause, a slow start) does not.
        rig.at(rig.clock.now.addSecs(3 * 3600));
        rig.timer.recordedFrames(frames - 1, rate);
        QCOMPARE(rig.stops.count(), 0);
        rig.timer.recordedFrames(frames, rate);
        rig.timer.recordedFrames(frames + rate, rate);
        QCOMPARE(rig.stops.count(), 1);
        rig.timer.takeEnded();

        // Frames count only while running.
        QVERIFY(rig.arm("2026-06-01T20:00:00Z", "record-after:1m+stop-after:1s"));
        QCOMPARE(rig.timer.timeLeftText(), QStringLiteral("starts in 1:00"));
        rig.timer.recordedFrames(rate, rate);
        rig.at("2026-06-01T20:01:00Z");
        QCOMPARE(rig.starts.count(), 2);
        QCOMPARE(rig.stops.count(), 1);
        rig.timer.recordedFrames(rate, rate);
        QCOMPARE(rig.stops.count(), 2);
        rig.timer.takeEnded();

        // A megabyte is 10^6 bytes.
        QVERIFY(rig.arm("2026-06-01T20:00:00Z", "stop-at-size:700MB"));
        QCOMPARE(rig.timer.timeLeftText(), QStringLiteral("stops at 700 MB"));
        rig.timer.fileBytes(699999999);
        QCOMPARE(rig.stops.count(), 2);
        rig.timer.fileBytes(700000000);
        rig.timer.fileBytes(700000001);
        QCOMPARE(rig.stops.count(), 3);
    }

    void cancel()
    {
        Rig rig;
        QSignalSpy changed(&rig.timer, &RecordTimer::changed);
        QVERIFY(rig.arm("2026-06-01T20:00:00+02:00", "record-at:21:30+stop-at:23:00+daily"));
        rig.timer.cancel();
        QCOMPARE(rig.timer.state(), RecordTimer::State::Idle);
        QCOMPARE(changed.count(), 2);
        QVERIFY(rig.timer.timeLeftText().isEmpty());
        rig.at("2026-06-01T22:00:00+02:00");
        rig.at("2026-06-02T22:00:00+02:00");
        QCOMPARE(rig.starts.count() + rig.missed.count(), 0);

        // Cancelled while running: no stop, and a daily plan does not come back.
        QVERIFY(rig.arm("2026-06-01T21:30:00+02:00", "record-at:21:30+stop-at:23:00+daily"));
        QCOMPARE(rig.starts.count(), 1);
        rig.timer.cancel();
        rig.at("2026-06-01T23:00:00+02:00");
        rig.timer.takeEnded();
        rig.at("2026-06-02T21:30:00+02:00");
        QCOMPARE(rig.stops.count(), 0);
        QCOMPARE(rig.starts.count(), 1);
        QCOMPARE(rig.timer.state(), RecordTimer::State::Idle);
    }
};

QTEST_GUILESS_MAIN(TestRecordTimer)
#include "test_record_timer.moc"
