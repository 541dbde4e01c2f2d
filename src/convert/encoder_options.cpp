#include "convert/encoder_options.h"

namespace encoder_options {

QString optionString(const QString& bitrate, const QString& mode, const QString& optimization)
{
    QString suffix;
    if (optimization == u"Speed")
        suffix = QStringLiteral(" -f");
    else if (optimization == u"Quality")
        suffix = QStringLiteral(" -h");
    return QStringLiteral(" -b ") + bitrate + QStringLiteral(" -m ") + mode.left(1) + suffix;
}

} // namespace encoder_options
