// SPDX-License-Identifier: GPL-3.0-or-later
#include "control/record_timer.h"

#include <QLocale>
#include <QRegularExpression>
#include <QStringList>
#include <QtNumeric>

#include <algorithm>
#include <vector>

namespace record_timer {

namespace {

constexpr qint64 secondsPerDay = 86400;
constexpr int maxDurationDigits = 9;

QString quoted(const QString& text)
{
    return QStringLiteral("\"%1\"").arg(text);
}

QDateTime utcFromSecs(qint64 secs)
{
    return QDateTime::fromSecsSinceEpoch(secs, QTimeZone::utc());
}

// The wall-clock reading date, time as if it were UTC: the seconds from which each offset the zone
// has around then is subtracted to find the instant.
qint64 wallSeconds(QDate date, QTime time)
{
    return (date.toJulianDay() - QDate(1970, 1, 1).toJulianDay()) * secondsPerDay + time.msecsSinceStartOfDay() / 1000;
}

QString timeText(QTime time)
{
    return time.toString(time.second() == 0 ? QStringLiteral("HH:mm") : QStringLiteral("HH:mm:ss"));
}

QTimeZone zoneOf(const WallClockTime& when, const QTimeZone& zone)
{
    return when.utcOffset ? QTimeZone(*when.utcOffset) : zone;
}

QString joinNotes(const QString& a, const QString& b)
{
    if (a.isEmpty() || b.isEmpty())
        return a + b;
    return a + QLatin1Char(' ') + b;
}

// Fills the stop of an occurrence whose start is set.
void resolveStop(const TimerPlan& plan, const QTimeZone& zone, Occurrence& occurrence)
{
    if (plan.stop != TimerPlan::Stop::At)
        return;
    const ResolvedTime stop = resolveWallClockTime(plan.stopAt, occurrence.start, zone);
    if (stop.utc <= occurrence.start) {
        occurrence.error = QStringLiteral("stop-at %1 is not after the start").arg(plan.stopAt.text);
        return;
    }
    occurrence.stop = stop.utc;
    occurrence.note = joinNotes(occurrence.note, stop.note);
}

} // namespace

Parsed<qint64> parseDuration(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("^(?:(\\d+)h)?(?:(\\d+)m)?(?:(\\d+)s)?$"));
    static const QRegularExpression digits(QStringLiteral("^\\d+$"));
    const QString example = QStringLiteral("write it like 90m, 1h30m or 45s");
    Parsed<qint64> result;
    if (text.isEmpty()) {
        result.error = QStringLiteral("no duration given; ") + example;
        return result;
    }
    if (text.startsWith(QLatin1Char('-'))) {
        result.error = QStringLiteral("a duration cannot be negative: %1").arg(quoted(text));
        return result;
    }
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch()) {
        if (digits.match(text).hasMatch())
            result.error = QStringLiteral("%1 needs a unit: h, m or s, as in %2m").arg(quoted(text), text);
        else if (form.match(text.toLower()).hasMatch())
            result.error = QStringLiteral("%1: the units are lower-case h, m and s").arg(quoted(text));
        else
            result.error = QStringLiteral("%1 is not a duration; ").arg(quoted(text)) + example;
        return result;
    }
    const qint64 unitSeconds[] = {3600, 60, 1};
    for (int part = 0; part < 3; ++part) {
        const QString number = match.captured(part + 1);
        if (number.size() > maxDurationDigits) {
            result.error = QStringLiteral("%1 is too long").arg(quoted(text));
            return result;
        }
        result.value += number.toLongLong() * unitSeconds[part];
    }
    return result;
}

Parsed<WallClockTime> parseWallClockTime(const QString& text)
{
    static const QRegularExpression timeForm(QStringLiteral("^(\\d{1,2}):(\\d{2})(?::(\\d{2}))?$"));
    static const QRegularExpression dateTimeForm(
        QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})T(\\d{2}):(\\d{2})(?::(\\d{2}))?(Z|([+-])(\\d{2}):(\\d{2}))?$"));
    const QString example =
        QStringLiteral("write it as HH:MM, HH:MM:SS or 2026-12-24T21:30 (optionally ending in Z or +01:00)");
    Parsed<WallClockTime> result;
    result.value.text = text;
    if (text.isEmpty()) {
        result.error = QStringLiteral("no time given; ") + example;
        return result;
    }
    int timeGroup = 1;
    QRegularExpressionMatch match = timeForm.match(text);
    if (!match.hasMatch()) {
        match = dateTimeForm.match(text);
        if (!match.hasMatch()) {
            result.error = QStringLiteral("%1 is not a time; ").arg(quoted(text)) + example;
            return result;
        }
        timeGroup = 4;
        result.value.date = QDate(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
        if (!result.value.date.isValid()) {
            result.error = QStringLiteral("%1: there is no such date").arg(quoted(text));
            return result;
        }
    }
    const int hours = match.captured(timeGroup).toInt();
    const int minutes = match.captured(timeGroup + 1).toInt();
    const int seconds = match.captured(timeGroup + 2).toInt();
    if (hours > 23 || minutes > 59 || seconds > 59) {
        result.error =
            QStringLiteral("%1: hours run from 00 to 23, minutes and seconds from 00 to 59").arg(quoted(text));
        return result;
    }
    result.value.time = QTime(hours, minutes, seconds);
    if (timeGroup == 4 && match.capturedLength(7) > 0) {
        int offset = 0;
        if (match.captured(7) != QLatin1String("Z")) {
            const int offsetHours = match.captured(9).toInt();
            const int offsetMinutes = match.captured(10).toInt();
            if (offsetHours > 14 || offsetMinutes > 59) {
                result.error = QStringLiteral("%1: a UTC offset runs from -14:00 to +14:00").arg(quoted(text));
                return result;
            }
            offset = (offsetHours * 3600 + offsetMinutes * 60) * (match.captured(8) == QLatin1String("-") ? -1 : 1);
        }
        result.value.utcOffset = offset;
    }
    return result;
}

Parsed<qint64> parseSize(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("^(\\d+)(?:\\.(\\d+))?\\s*([A-Za-z]*)$"));
    struct Unit {
        const char* name;
        qint64 bytes;
    };
    static constexpr Unit units[] = {
        {"", 1},
        {"b", 1},
        {"k", 1000},
        {"kb", 1000},
        {"kib", qint64(1) << 10},
        {"m", 1000000},
        {"mb", 1000000},
        {"mib", qint64(1) << 20},
        {"g", 1000000000},
        {"gb", 1000000000},
        {"gib", qint64(1) << 30},
    };
    const QString example = QStringLiteral("write it like 700MB, 1.5GB, 500k or a number of bytes");
    Parsed<qint64> result;
    if (text.isEmpty()) {
        result.error = QStringLiteral("no size given; ") + example;
        return result;
    }
    if (text.startsWith(QLatin1Char('-'))) {
        result.error = QStringLiteral("a size cannot be negative: %1").arg(quoted(text));
        return result;
    }
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch()) {
        result.error = QStringLiteral("%1 is not a size; ").arg(quoted(text)) + example;
        return result;
    }
    const QString unitName = match.captured(3).toLower();
    const auto unit = std::find_if(std::begin(units), std::end(units),
                                   [&](const Unit& u) { return unitName == QLatin1String(u.name); });
    if (unit == std::end(units)) {
        result.error = QStringLiteral("%1: unknown unit %2; use k, MB, GB (powers of 1000) or KiB, MiB, GiB "
                                      "(powers of 1024)")
                           .arg(quoted(text), quoted(match.captured(3)));
        return result;
    }
    const QString whole = match.captured(1);
    const QString fraction = match.captured(2);
    if (!fraction.isEmpty() && unit->bytes == 1) {
        result.error = QStringLiteral("%1: a number of bytes is a whole number").arg(quoted(text));
        return result;
    }
    if (fraction.size() > 9) {
        result.error = QStringLiteral("%1: at most nine decimals").arg(quoted(text));
        return result;
    }
    const QString tooLarge = QStringLiteral("%1 is too large").arg(quoted(text));
    if (whole.size() > 18) {
        result.error = tooLarge;
        return result;
    }
    qint64 bytes = 0;
    if (qMulOverflow(whole.toLongLong(), unit->bytes, &bytes)) {
        result.error = tooLarge;
        return result;
    }
    if (!fraction.isEmpty()) {
        qint64 scale = 1;
        for (qsizetype i = 0; i < fraction.size(); ++i)
            scale *= 10;
        // Below 10^9 times at most 2^30: no overflow.
        const qint64 part = fraction.toLongLong() * unit->bytes / scale;
        if (qAddOverflow(bytes, part, &bytes)) {
            result.error = tooLarge;
            return result;
        }
    }
    result.value = bytes;
    return result;
}

ResolvedTime resolveLocalTime(QDate date, QTime time, const QTimeZone& zone)
{
    const qint64 wall = wallSeconds(date, time);
    // The offsets in force around that day: the instant is the wall reading less one of them, and
    // only an offset the zone really has at that instant counts.
    const QDateTime from = utcFromSecs(wall - 2 * secondsPerDay);
    const QDateTime to = utcFromSecs(wall + 2 * secondsPerDay);
    const QTimeZone::OffsetDataList transitions =
        zone.hasTransitions() ? zone.transitions(from, to) : QTimeZone::OffsetDataList{};
    std::vector<int> offsets{zone.offsetFromUtc(from)};
    for (const QTimeZone::OffsetData& transition : transitions)
        offsets.push_back(transition.offsetFromUtc);
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());

    std::vector<qint64> instants;
    for (int offset : offsets) {
        const qint64 instant = wall - offset;
        if (zone.offsetFromUtc(utcFromSecs(instant)) == offset)
            instants.push_back(instant);
    }
    std::sort(instants.begin(), instants.end());

    ResolvedTime result;
    result.date = date;
    if (!instants.empty()) {
        result.utc = utcFromSecs(instants.front());
        if (instants.size() > 1)
            result.note = QStringLiteral("%1 occurs twice on %2; the first, %1 %3, is used")
                              .arg(timeText(time), date.toString(Qt::ISODate), zone.abbreviation(result.utc));
        return result;
    }
    // Skipped when the clocks went forward: the moment they jumped.
    for (const QTimeZone::OffsetData& transition : transitions) {
        const qint64 at = transition.atUtc.toSecsSinceEpoch();
        const int before = zone.offsetFromUtc(utcFromSecs(at - 1));
        const int after = transition.offsetFromUtc;
        if (at + before <= wall && wall < at + after) {
            result.utc = utcFromSecs(at);
            const QTime jumpFrom = QTime(0, 0).addSecs(int((at + before) % secondsPerDay));
            const QTime jumpTo = QTime(0, 0).addSecs(int((at + after) % secondsPerDay));
            result.note = QStringLiteral("%1 does not exist on %2: the clocks go forward from %3 to %4; %4 %5 is used")
                              .arg(timeText(time), date.toString(Qt::ISODate), timeText(jumpFrom), timeText(jumpTo),
                                   zone.abbreviation(result.utc));
            return result;
        }
    }
    result.utc = utcFromSecs(wall - zone.offsetFromUtc(utcFromSecs(wall)));
    return result;
}

ResolvedTime resolveWallClockTime(const WallClockTime& when, const QDateTime& after, const QTimeZone& zone)
{
    const QTimeZone own = zoneOf(when, zone);
    if (when.date.isValid())
        return resolveLocalTime(when.date, when.time, own);
    const QDate today = after.toTimeZone(own).date();
    const ResolvedTime sameDay = resolveLocalTime(today, when.time, own);
    if (sameDay.utc >= after)
        return sameDay;
    return resolveLocalTime(today.addDays(1), when.time, own);
}

Occurrence firstOccurrence(const TimerPlan& plan, const QDateTime& nowUtc, const QTimeZone& zone)
{
    Occurrence occurrence;
    switch (plan.start) {
    case TimerPlan::Start::Now:
        occurrence.start = nowUtc;
        break;
    case TimerPlan::Start::After:
        occurrence.start = nowUtc.addSecs(plan.startDelay);
        break;
    case TimerPlan::Start::At: {
        const ResolvedTime start = resolveWallClockTime(plan.startAt, nowUtc, zone);
        if (start.utc < nowUtc) {
            occurrence.error = QStringLiteral("record-at %1 has already passed").arg(plan.startAt.text);
            return occurrence;
        }
        occurrence.start = start.utc;
        occurrence.day = start.date;
        occurrence.note = start.note;
        break;
    }
    }
    resolveStop(plan, zone, occurrence);
    return occurrence;
}

Occurrence occurrenceOn(const TimerPlan& plan, QDate day, const QTimeZone& zone)
{
    const ResolvedTime start = resolveLocalTime(day, plan.startAt.time, zoneOf(plan.startAt, zone));
    Occurrence occurrence;
    occurrence.start = start.utc;
    occurrence.day = day;
    occurrence.note = start.note;
    // Each day's stop is the first such time after that day's start.
    TimerPlan daily = plan;
    daily.stopAt.date = QDate();
    resolveStop(daily, zone, occurrence);
    return occurrence;
}

TimerCommand parseTimerCommand(const QString& text, const QDateTime& nowUtc, const QTimeZone& zone)
{
    TimerCommand command;
    const auto fail = [&](const QString& error) {
        command = TimerCommand();
        command.error = error;
        return command;
    };
    if (text.isEmpty())
        return fail(QStringLiteral("no timer command given"));
    // "+" chains commands, and also starts a UTC offset ("+01:00"): only a "+" before a letter
    // starts the next command.
    static const QRegularExpression separator(QStringLiteral("\\+(?=[A-Za-z])"));
    const QStringList parts = text.split(separator);
    bool startGiven = false;
    bool stopGiven = false;
    bool dailyGiven = false;
    for (const QString& part : parts) {
        const qsizetype colon = part.indexOf(QLatin1Char(':'));
        const QString name = colon < 0 ? part : part.left(colon);
        const QString value = colon < 0 ? QString() : part.mid(colon + 1);
        const bool hasValue = colon >= 0;
        if (name.isEmpty())
            return fail(QStringLiteral("%1: a command is missing").arg(quoted(text)));

        if (name == QLatin1String("cancel-timer") || name == QLatin1String("daily")) {
            if (hasValue)
                return fail(QStringLiteral("%1 takes no value").arg(name));
            if (name == QLatin1String("cancel-timer")) {
                if (parts.size() > 1)
                    return fail(QStringLiteral("cancel-timer stands alone"));
                command.cancel = true;
            } else {
                if (dailyGiven)
                    return fail(QStringLiteral("daily is given twice"));
                dailyGiven = true;
                command.plan.daily = true;
            }
            continue;
        }

        const bool isStart = name == QLatin1String("record-at") || name == QLatin1String("record-after");
        const bool isStop = name == QLatin1String("stop-after") || name == QLatin1String("stop-at") ||
                            name == QLatin1String("stop-at-size");
        if (!isStart && !isStop)
            return fail(QStringLiteral("%1 is not a timer command; use record-at, record-after, stop-after, stop-at, "
                                       "stop-at-size, daily or cancel-timer")
                            .arg(quoted(name)));
        if (!hasValue)
            return fail(QStringLiteral("%1 needs a value, as in %1:%2")
                            .arg(name, name.endsWith(QLatin1String("size")) ? QStringLiteral("700MB")
                                       : name.endsWith(QLatin1String("at")) ? QStringLiteral("21:30")
                                                                            : QStringLiteral("90m")));
        if (isStart && startGiven)
            return fail(QStringLiteral("only one start can be given (record-at or record-after)"));
        if (isStop && stopGiven)
            return fail(QStringLiteral("only one stop can be given (stop-after, stop-at or stop-at-size)"));
        startGiven = startGiven || isStart;
        stopGiven = stopGiven || isStop;

        TimerPlan& plan = command.plan;
        if (name == QLatin1String("record-at") || name == QLatin1String("stop-at")) {
            const Parsed<WallClockTime> when = parseWallClockTime(value);
            if (!when.ok())
                return fail(name + QStringLiteral(": ") + when.error);
            if (isStart) {
                plan.start = TimerPlan::Start::At;
                plan.startAt = when.value;
            } else {
                plan.stop = TimerPlan::Stop::At;
                plan.stopAt = when.value;
            }
        } else if (name == QLatin1String("stop-at-size")) {
            const Parsed<qint64> size = parseSize(value);
            if (!size.ok())
                return fail(name + QStringLiteral(": ") + size.error);
            if (size.value <= 0)
                return fail(QStringLiteral("stop-at-size needs at least one byte"));
            plan.stop = TimerPlan::Stop::AtSize;
            plan.stopAtBytes = size.value;
        } else {
            const Parsed<qint64> duration = parseDuration(value);
            if (!duration.ok())
                return fail(name + QStringLiteral(": ") + duration.error);
            if (isStart) {
                plan.start = TimerPlan::Start::After;
                plan.startDelay = duration.value;
            } else {
                if (duration.value <= 0)
                    return fail(QStringLiteral("stop-after needs a duration longer than zero"));
                plan.stop = TimerPlan::Stop::After;
                plan.stopAfter = duration.value;
            }
        }
    }
    if (command.cancel)
        return command;

    const TimerPlan& plan = command.plan;
    if (plan.daily && plan.start != TimerPlan::Start::At)
        return fail(QStringLiteral("daily needs record-at, the time to start each day"));
    if (plan.daily && plan.stop == TimerPlan::Stop::At && plan.stopAt.date.isValid())
        return fail(QStringLiteral("with daily, stop-at takes a time of day, not a date"));
    if (plan.start == TimerPlan::Start::At && plan.stop == TimerPlan::Stop::At && !plan.startAt.date.isValid() &&
        !plan.stopAt.date.isValid() && plan.startAt.time == plan.stopAt.time &&
        plan.startAt.utcOffset == plan.stopAt.utcOffset)
        return fail(QStringLiteral("stop-at %1 is the time of record-at").arg(plan.stopAt.text));
    const Occurrence first = firstOccurrence(plan, nowUtc, zone);
    if (!first.error.isEmpty())
        return fail(first.error);
    return command;
}

QString clockText(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0);
    const qint64 hours = seconds / 3600;
    const qint64 minutes = seconds / 60 % 60;
    const QString secondsText = QStringLiteral("%1").arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (hours == 0)
        return QStringLiteral("%1:%2").arg(minutes).arg(secondsText);
    return QStringLiteral("%1:%2:%3").arg(hours).arg(minutes, 2, 10, QLatin1Char('0')).arg(secondsText);
}

} // namespace record_timer

using namespace record_timer;

namespace {

struct SystemClock : RecordTimer::Clock {
    QDateTime nowUtc() const override { return QDateTime::currentDateTimeUtc(); }
};

// Whole seconds from now to then, a started second counting as one.
qint64 secondsUntil(const QDateTime& now, const QDateTime& then)
{
    const qint64 msecs = now.msecsTo(then);
    return msecs <= 0 ? 0 : (msecs + 999) / 1000;
}

// "700 MB", "1.5 GB": decimal units, as sizes are read.
QString sizeText(qint64 bytes)
{
    static constexpr struct {
        qint64 bytes;
        const char* name;
    } units[] = {{1000000000, "GB"}, {1000000, "MB"}, {1000, "kB"}};
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    for (const auto& unit : units) {
        if (bytes >= unit.bytes)
            return locale.toString(double(bytes) / double(unit.bytes), 'g', 4) + QLatin1Char(' ') +
                   QLatin1String(unit.name);
    }
    return QStringLiteral("%1 bytes").arg(bytes);
}

} // namespace

const RecordTimer::Clock& RecordTimer::Clock::system()
{
    static const SystemClock clock;
    return clock;
}

RecordTimer::RecordTimer(const Clock& clock, const QTimeZone& zone, QObject* parent)
    : QObject(parent), m_clock(clock), m_zone(zone)
{
}

bool RecordTimer::arm(const TimerPlan& plan, QString* error)
{
    const Occurrence first = firstOccurrence(plan, m_clock.nowUtc(), m_zone);
    if (!first.error.isEmpty()) {
        if (error)
            *error = first.error;
        return false;
    }
    m_plan = plan;
    m_occurrence = first;
    m_stopSent = false;
    m_state = State::Armed;
    emit changed();
    check();
    return true;
}

void RecordTimer::cancel()
{
    m_plan = TimerPlan();
    m_occurrence = Occurrence();
    setState(State::Idle);
}

QDateTime RecordTimer::stopTime() const
{
    if (m_plan.stop == TimerPlan::Stop::At)
        return m_occurrence.stop;
    if (m_plan.stop == TimerPlan::Stop::After && m_occurrence.start.isValid())
        return m_occurrence.start.addSecs(m_plan.stopAfter);
    return {};
}

qint64 RecordTimer::framesToRecord(int rate) const
{
    qint64 frames = -1;
    if (m_plan.stop != TimerPlan::Stop::After || rate <= 0 || qMulOverflow(m_plan.stopAfter, qint64(rate), &frames))
        return -1;
    return frames;
}

QString RecordTimer::timeLeftText() const
{
    const QDateTime now = m_clock.nowUtc();
    if (m_state == State::Armed)
        return QStringLiteral("starts in ") + clockText(secondsUntil(now, m_occurrence.start));
    if (m_state != State::Running)
        return {};
    switch (m_plan.stop) {
    case TimerPlan::Stop::None:
        return {};
    case TimerPlan::Stop::At:
        return QStringLiteral("stops in ") + clockText(secondsUntil(now, m_occurrence.stop));
    case TimerPlan::Stop::AtSize:
        return QStringLiteral("stops at ") + sizeText(m_plan.stopAtBytes);
    case TimerPlan::Stop::After: {
        const qint64 total = framesToRecord(m_rate);
        if (total < 0)
            return QStringLiteral("stops in ") + clockText(m_plan.stopAfter);
        const qint64 left = std::max<qint64>(total - m_frames, 0);
        return QStringLiteral("stops in ") + clockText((left + m_rate - 1) / m_rate);
    }
    }
    return {};
}

void RecordTimer::check()
{
    const QDateTime now = m_clock.nowUtc();
    if (m_state == State::Running) {
        if (m_plan.stop == TimerPlan::Stop::At && now >= m_occurrence.stop)
            dueStop();
        return;
    }
    if (m_state != State::Armed || now < m_occurrence.start)
        return;
    const QDateTime end = stopTime();
    if (end.isValid() && now >= end) {
        if (m_plan.daily) {
            armNextDay(true);
            emit missed();
            check();
        } else {
            cancel();
            emit missed();
        }
        return;
    }
    const qint64 lateBy = m_occurrence.start.secsTo(now);
    m_frames = 0;
    m_rate = 0;
    m_bytes = 0;
    m_stopSent = false;
    setState(State::Running);
    emit startDue(lateBy > lateAfterSeconds, lateBy);
}

void RecordTimer::recordedFrames(qint64 frames, int rate)
{
    if (m_state != State::Running || rate <= 0)
        return;
    m_frames = frames;
    m_rate = rate;
    const qint64 total = framesToRecord(rate);
    if (total >= 0 && frames >= total)
        dueStop();
}

void RecordTimer::fileBytes(qint64 bytes)
{
    if (m_state != State::Running)
        return;
    m_bytes = bytes;
    if (m_plan.stop == TimerPlan::Stop::AtSize && bytes >= m_plan.stopAtBytes)
        dueStop();
}

void RecordTimer::takeEnded()
{
    if (m_state != State::Running)
        return;
    if (m_plan.daily)
        armNextDay(false);
    else
        cancel();
}

void RecordTimer::setState(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    emit changed();
}

void RecordTimer::armNextDay(bool afterMiss)
{
    // The next day whose take can still happen: after a take, one that starts later; after a miss,
    // one whose stop has not passed (it may start late). Days are counted from the wall-clock time
    // each day, so the start stays at the same local time across daylight-saving changes.
    const QDateTime now = m_clock.nowUtc();
    const QDate today = now.toTimeZone(m_zone).date();
    QDate day = std::max(m_occurrence.day.addDays(1), today.addDays(-2));
    for (;; day = day.addDays(1)) {
        m_occurrence = occurrenceOn(m_plan, day, m_zone);
        const QDateTime end = stopTime();
        if ((afterMiss && end.isValid()) ? end > now : m_occurrence.start > now)
            break;
    }
    m_stopSent = false;
    m_state = State::Armed;
    emit changed();
}

void RecordTimer::dueStop()
{
    if (m_stopSent)
        return;
    m_stopSent = true;
    emit stopDue();
}
