#pragma once

#include "platform/desktop.h"

#include <QStringList>
#include <QUrl>

// Records what would have been handed to the desktop, one line a call ("url|ADDRESS",
// "file|PATH", "start|PROGRAM|ARG|ARG..."), and answers with `result`.
class FakeDesktop : public Desktop {
public:
    bool openUrl(const QUrl& url) override
    {
        urls.append(url);
        calls.append(QStringLiteral("url|") + url.toString());
        return result;
    }
    bool openFile(const QString& path) override
    {
        calls.append(QStringLiteral("file|") + path);
        return result;
    }
    bool startDetached(const QString& program, const QStringList& args) override
    {
        QStringList parts{QStringLiteral("start"), program};
        parts += args;
        calls.append(parts.join(u'|'));
        return result;
    }

    bool result = true;
    QList<QUrl> urls;
    QStringList calls;
};
