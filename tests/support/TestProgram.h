#pragma once

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QTemporaryDir>

class frmMain;

// A program folder in a temporary directory, with the shared state set back to how a fresh
// process starts, and the main window started in it as the program starts it.
class TestProgram {
public:
    TestProgram();
    ~TestProgram();
    TestProgram(const TestProgram&) = delete;
    TestProgram& operator=(const TestProgram&) = delete;

    QString folder() const { return m_dir.path(); }
    QString filePath(const QString& name) const { return m_dir.filePath(name); }
    QString settingsPath() const { return filePath(QStringLiteral("Corvid.ini")); }

    void writeSettings(const QByteArray& content) const {
        makeFile(QStringLiteral("Corvid.ini"), content);
    }
    QByteArray readSettings() const;
    // A file in the program folder; returns its path.
    QString makeFile(const QString& name, const QByteArray& content) const;
    // Points COMn in the program folder at device.
    void linkPort(int portNumber, const QString& device) const;

    // Constructs the main window and runs its load event.
    frmMain* start();
    // Closes the main window the way its close box does.
    void close();

    static void resetSharedState();

private:
    QTemporaryDir m_dir;
    QPointer<frmMain> m_form;
};

// size bytes of every value in a fixed, irregular order, for program files and replies.
QByteArray testBytes(qsizetype size);

// True when no top-level window is left visible; a widget test's cleanup checks it.
bool noWindowLeftOpen();
