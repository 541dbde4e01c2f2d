#pragma once

#include <QString>
#include <cstdint>

// The program's settings file: one section, keys compared without case, read one key at a time and
// written one key at a time. Every call reads the file afresh; nothing is cached. A UTF-8 byte-order
// mark in front of the file, as some editors save it, is not part of the first line and is kept.
class IniFile {
public:
    IniFile(QString path, QString section);

    const QString& path() const { return m_path; }

    // Integers are read as an optional sign followed by leading digits; anything after them is
    // ignored, and a value without digits reads as 0. The default applies only to an absent key.
    // Values beyond the 32-bit range saturate.
    int32_t readInt(const QString& key, int32_t defaultValue) const;

    // The value with blanks around it removed (and one pair of enclosing quotes); the default only
    // for an absent key.
    QString readString(const QString& key, const QString& defaultValue) const;

    // Replaces the key's first occurrence in the section, or adds it; creates the file and the
    // section when they are missing. All other lines stay as they were. The file is replaced as a
    // whole (temporary file, then rename), so a crash never leaves it half written.
    // Returns false when the file could not be written.
    bool write(const QString& key, const QString& value) const;

private:
    bool find(const QString& key, QString* value) const;

    QString m_path;
    QString m_section;
};

// Parses like the classic profile-integer reader: blanks, optional sign, leading digits.
int32_t parseProfileInt(const QString& text);
