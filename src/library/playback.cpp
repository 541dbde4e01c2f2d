#include "library/playback.h"

#include "platform/player.h"

Playback::Playback(Player* player, QObject* parent) : QObject(parent), m_player(player)
{
    m_poll.setObjectName(QStringLiteral("Timer1"));
    m_poll.setInterval(1000);
    connect(&m_poll, &QTimer::timeout, this, &Playback::tick);
}

void Playback::closeDevice(const QString& path)
{
    if (m_player)
        m_player->close(path);
}

void Playback::close()
{
    closeDevice(m_playingFile);
}

void Playback::play(const QString& path)
{
    close();
    m_playingFile = path;
    const QString reply = m_player ? m_player->play(path) : QStringLiteral("error");
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
    if (!m_poll.isActive())
        return;
    const Player::State state = m_player ? m_player->state(m_playingFile) : Player::State::Closed;
    if (state == Player::State::PlayedOut) {
        Q_EMIT status(QStringLiteral("Playback has stopped"), StatusTone::Attention);
        m_poll.stop();
    } else if (state == Player::State::Failed) {
        // The server did not start it, or stopped taking it: what was claimed playing was not heard.
        Q_EMIT status(QStringLiteral("%1 cannot be played.").arg(m_playingFile), StatusTone::Attention);
        m_poll.stop();
    }
}
