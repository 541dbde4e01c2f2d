#pragma once

#include "platform/status_tone.h"

#include <QObject>
#include <QString>
#include <QTimer>

class Player;

// Playing the recordings: one file at a time through the player, and a poll once a second that
// reports when the file has played to its end. The device stays open under the
// file's name until the next play, "Stop playing", a cleared list or shutdown closes it.
class Playback : public QObject {
    Q_OBJECT
public:
    // player may be null (no sound back-end): every command then does nothing.
    explicit Playback(Player* player, QObject* parent = nullptr);

    // The file last started; kept after it has played out, replaced by the next play.
    const QString& playingFile() const { return m_playingFile; }

    // The poll, once a second while a file plays; each timeout runs tick().
    QTimer& poll() { return m_poll; }

    // Closes the previous file and plays path; the poll runs while it plays.
    void play(const QString& path);
    // "Stop playing": closes the file and says playback has stopped.
    void stop();
    // One tick of the poll.
    void tick();
    // Closes the file last started, quietly (a cleared list, shutdown).
    void close();
    // Closes the file at path when it is open, quietly.
    void closeDevice(const QString& path);

signals:
    void status(const QString& text, StatusTone tone);

private:
    Player* m_player;
    QString m_playingFile;
    QTimer m_poll;
};
