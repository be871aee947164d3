#pragma once

#include <QString>

class QFileDevice;

#include <exception>

// A failure of a run-time operation (file system, serial port, conversion), carrying the
// number and description that the error messages show.
class RunTimeError : public std::exception {
public:
    RunTimeError(int number, QString description)
        : m_number(number), m_description(std::move(description)),
          m_what(QString::number(number).toUtf8() + " - " + m_description.toUtf8()) {}

    int number() const { return m_number; }
    const QString& description() const { return m_description; }
    const char* what() const noexcept override { return m_what.constData(); }

    // The failure that the last system call left in errno, described as the system does.
    static RunTimeError fromErrno(int errorNumber, const QString& context = QString());
    // The failure of a file operation that has just failed: errno when the system set one.
    static RunTimeError fromFile(const QFileDevice& file, const QString& context);

private:
    int m_number;
    QString m_description;
    QByteArray m_what;
};

// Numbers for failures that have no system error number of their own.
namespace ErrorNumber {
inline constexpr int Overflow = 6;
inline constexpr int TypeMismatch = 13;
inline constexpr int InputPastEnd = 62;
inline constexpr int InvalidPropertyValue = 380;
inline constexpr int PortNotOpen = 8018;
} // namespace ErrorNumber
