#pragma once

#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

class Controller;
class Form1;
class QAction;
class QTextStream;

// The running program on the user's session bus: one name, so a second start finds the first, and
// the commands of "trelvik --command". Each command acts as its hot key does: the same action, and
// nothing while its button is disabled or an operation runs. Stop answers once the take is saved
// (and converted, when that is asked for), so a script finds the file when the command returns;
// the window goes on answering meanwhile.
class RemoteControl : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.trelvik.Trelvik")
public:
    static constexpr const char* kService = "org.trelvik.Trelvik";
    static constexpr const char* kPath = "/org/trelvik/Trelvik";

    explicit RemoteControl(Form1& window);

    enum class Claim {
        Owned, // this program answers the commands
        Taken, // another Trelvik runs on this session bus
        NoBus, // no session bus: the program runs on, without remote control
    };
    Claim claim();

    // Sends commands to the running program, in order, printing what status answers to out.
    // Returns 0 when the program answered every command, 1 otherwise ("not running" is printed for
    // status when no program answers).
    static int send(const QStringList& commands, QTextStream& out);

public slots:
    void Record();
    void Pause();
    void Stop();
    void Toggle();
    QString Status();
    // Sets or cancels the timer from its words ("record-at:21:30+stop-after:90m"); empty when done,
    // else why not.
    QString Timer(const QString& words);
    // Recording that starts on sound, as Config.ini sets it: empty when armed, else why not.
    QString Arm();
    void Disarm();
    void Show();
    void Quit();

private:
    // Answers the D-Bus call being handled later, once done holds: with answer's value, or none.
    void answerWhen(const std::function<bool()>& done, const std::function<QVariant()>& answer);
    QString stateName() const;
    void trigger(QAction* action);

    Form1& m_window;
    Controller& m_controller;
};
