// Converts one wave file the way the program does: the conversion runs the encoder as a child
// process, its output arrives through the event loop, and every piece with a "%" becomes a status
// text.
//
//   convert_driver IN.wav OUT.mp3 [OPTIONS]
//
// The encoder is the one the program would use with no encoder beside it: "lame" on PATH. OPTIONS
// defaults to the program's default encoder options. Prints key=value lines: updates (how many
// progress texts were shown), last_status.

#include "convert/conversion.h"
#include "convert/encoder_options.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 3 || arguments.size() > 4) {
        std::fprintf(stderr, "usage: convert_driver IN.wav OUT.mp3 [OPTIONS]\n");
        return 2;
    }
    // A program folder without an encoder of its own.
    QTemporaryDir folder;
    const AppPaths paths = AppPaths::inFolder(folder.path());
    SharedState state;
    state.LameOptions = arguments.size() == 4 ? arguments[3] : QString::fromLatin1(encoder_options::kDefault);

    Conversion conversion(paths, state);
    QString status;
    long updates = 0;
    bool failed = false;
    QObject::connect(&conversion, &Conversion::status, &app, [&](const QString& text) {
        status = text;
        if (text.startsWith(QStringLiteral("Encoding in progress")))
            ++updates;
    });
    QObject::connect(&conversion, &Conversion::failedToStart, &app, [&](const QString& text) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        failed = true;
    });
    QObject::connect(&conversion, &Conversion::converted, &app, [&](const QString&, bool ok) {
        failed = failed || !ok;
        QCoreApplication::quit();
    });
    conversion.Converting(arguments[1], arguments[2]);
    QCoreApplication::exec();

    std::printf("updates=%ld\nlast_status=%s\n", updates, qPrintable(status));
    return failed ? 1 : 0;
}
