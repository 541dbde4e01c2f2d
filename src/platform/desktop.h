#pragma once

#include <QString>
#include <QStringList>

class QUrl;

// Hand-offs to the desktop: addresses and files go to the programs the user has chosen for them,
// other programs are started on their own. Nothing waits for them. Tests replace it with a fake.
class Desktop {
public:
    virtual ~Desktop() = default;
    // Opens an address (web, mailto:, file:) in the desktop's program for it; false when refused.
    virtual bool openUrl(const QUrl& url) = 0;
    // Opens a local file with the program associated with its type; false when refused.
    virtual bool openFile(const QString& path) = 0;
    // Starts a program with these arguments, detached, without a shell; false when it cannot start.
    virtual bool startDetached(const QString& program, const QStringList& args) = 0;
};

// The desktop's own opener (xdg-open) and plain detached processes.
class SystemDesktop : public Desktop {
public:
    bool openUrl(const QUrl& url) override;
    bool openFile(const QString& path) override;
    bool startDetached(const QString& program, const QStringList& args) override;
};
