// Converts one wave file the way the program does: the encoder runs through the command runner, and
// a progress handler like the main window's turns every piece of output with a "%" into a status
// text and lets pending events run.
//
//   convert_driver ENCODER IN.wav OUT.mp3 [OPTIONS]
//
// OPTIONS defaults to the program's default encoder options. Prints key=value lines: updates (how
// many pieces carried a percentage), last_status, output_chars.

#include "convert/dos_outputs.h"
#include "convert/encoder_options.h"
#include "platform/dialogs.h"

#include <QCoreApplication>
#include <QString>

#include <cstdio>

namespace {

// Messages go to standard error; there are no file dialogs here.
class ConsoleDialogs : public Dialogs {
public:
    QString saveFileName(QWidget*, const QString&, const QString&) override { return {}; }
    QString openFileName(QWidget*, const QString&) override { return {}; }
    void critical(QWidget*, const QString& text) override
    {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        failed = true;
    }
    bool failed = false;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 4 || arguments.size() > 5) {
        std::fprintf(stderr, "usage: convert_driver ENCODER IN.wav OUT.mp3 [OPTIONS]\n");
        return 2;
    }
    const QString options = arguments.size() == 5 ? arguments[4] : QString::fromLatin1(encoder_options::kDefault);

    ConsoleDialogs dialogs;
    DOSOutputs runner(dialogs);
    QString status;
    long updates = 0;
    QObject::connect(&runner, &DOSOutputs::ReceiveOutputs, &runner, [&](const QString& piece) {
        const qsizetype percent = piece.indexOf(u'%');
        if (percent >= 2) {
            status = QStringLiteral("Encoding in progress...  Status=") + piece.mid(percent - 2, 3);
            ++updates;
            QCoreApplication::processEvents();
        }
        if (piece.isEmpty())
            status = QStringLiteral("Finish Converting");
    });

    runner.setCommandline(quoteWindowsArgument(arguments[1]) + options + u' ' + quoteWindowsArgument(arguments[2]) +
                          u' ' + quoteWindowsArgument(arguments[3]));
    const QString output = runner.ExecuteCommand(QString());

    std::printf("updates=%ld\nlast_status=%s\noutput_chars=%lld\n", updates, qPrintable(status),
                static_cast<long long>(output.size()));
    return dialogs.failed ? 1 : 0;
}
