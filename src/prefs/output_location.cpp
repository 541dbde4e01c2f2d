#include "prefs/output_location.h"

#include "platform/config_keys.h"
#include "platform/ini_file.h"

namespace output_location {

QString storedPath(const IniFile& config)
{
    return config.readString(QString::fromLatin1(config_keys::kSavePosition), QString::fromLatin1(kDefaultPath));
}

} // namespace output_location
