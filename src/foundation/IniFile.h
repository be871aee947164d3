#pragma once

#include <QString>

// Reads and writes named values in named sections of an initialization file, following the
// Windows profile-file rules.
class IniFile {
public:
    // Larger files are refused on reading and writing, so a wrong path cannot exhaust memory.
    static constexpr qint64 MaximumFileSize = 1024 * 1024;

    void setFileName(const QString& path) { m_fileName = path; }
    QString fileName() const { return m_fileName; }
    void setSection(const QString& section) { m_section = section; }
    QString section() const { return m_section; }
    void setKey(const QString& key) { m_key = key; }
    QString key() const { return m_key; }

    // The value stored under the current file, section and key; empty when the file, section or
    // key is missing. Throws RunTimeError when the file exists but cannot be read.
    QString value() const;

    // Stores the value under the current file, section and key, creating what is missing.
    // Throws RunTimeError when the value or a name is refused or the file cannot be written.
    void setValue(const QString& text);
    void setValue(qint16 number);
    void setValue(float number);

private:
    QString m_fileName;
    QString m_section;
    QString m_key;
};
