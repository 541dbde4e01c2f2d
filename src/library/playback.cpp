#include "library/playback.h"

#include "platform/event_pump.h"
#include "platform/player.h"

Playback::Playback(Player* player, QObject* parent) : QObject(parent), m_player(player)
{
    m_poll.setObjectName(QStringLiteral("Timer1"));
    m_poll.setInterval(1000);
}

void Playback::closeDevice(const QString& name)
{
    if (m_player)
        m_player->command(QStringLiteral("close ") + name);
}

void Playback::close()
{
    closeDevice(m_playingFile);
}

QString Playback::mode(const QString& name)
{
    return m_player ? m_player->command(QStringLiteral("status ") + name + QStringLiteral(" mode")) : QString();
}

void Playback::play(const QString& path)
{
    close();
    m_playingFile = path;
    const QString reply = m_player ? m_player->command(QStringLiteral("play ") + path) : QStringLiteral("error");
    if (!reply.isEmpty()) {
        // Nothing plays: say so instead of claiming playback, and poll nothing.
        m_poll.stop();
        Q_EMIT status(QStringLiteral("%1 cannot be played.").arg(path), StatusTone::Attention);
        return;
    }
    Q_EMIT status(QStringLiteral("Recording is playing now........"), StatusTone::Busy);
    m_poll.start();
}

void Playback::stop()
{
    close();
    Q_EMIT status(QStringLiteral("Playback has stopped"), StatusTone::Attention);
    m_poll.stop();
}

void Playback::tick()
{
    // A stop or another command that is waiting runs first; the query then sees its outcome.
    event_pump::letPendingEventsRun();
    if (!m_poll.isActive())
        return;
    if (mode(m_playingFile) == u"stopped") {
        Q_EMIT status(QStringLiteral("Playback has stopped"), StatusTone::Attention);
        m_poll.stop();
    }
}
