#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

// A stand-in for a desktop program: a shell script that writes its arguments, one a line, to
// NAME.args beside itself. It writes a temporary file first and renames it, so a reader never sees
// half of the list.
class StandIn {
public:
    StandIn(const QString& folder, const QString& name)
        : m_script(folder + u'/' + name), m_log(folder + u'/' + name + QStringLiteral(".args"))
    {
        QDir().mkpath(folder);
        QFile file(m_script);
        if (file.open(QIODevice::WriteOnly)) {
            file.write("#!/bin/sh\nlog=\"$0.args\"\n: >\"$log.tmp\"\nfor a in \"$@\"; do printf '%s\\n' \"$a\" "
                       ">>\"$log.tmp\"; done\n"
                       "mv \"$log.tmp\" \"$log\"\n");
            file.close();
        }
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    QString program() const { return m_script; }
    bool called() const { return QFile::exists(m_log); }
    QStringList arguments() const
    {
        QFile file(m_log);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QString text = QString::fromUtf8(file.readAll());
        if (text.isEmpty())
            return {};
        if (text.endsWith(u'\n'))
            text.chop(1);
        return text.split(u'\n');
    }
    void forget() const { QFile::remove(m_log); }

private:
    QString m_script;
    QString m_log;
};

// Puts a folder first on PATH for the life of the object.
class PathFirst {
public:
    explicit PathFirst(const QString& folder) : m_old(qgetenv("PATH"))
    {
        qputenv("PATH", folder.toLocal8Bit() + ':' + m_old);
    }
    ~PathFirst() { qputenv("PATH", m_old); }

private:
    QByteArray m_old;
};
