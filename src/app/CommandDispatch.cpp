// The menu bar's commands and the version text's click.

#include "app/frmMain.h"
#include "foundation/MessageBox.h"
#include "serial/SaxComm.h"
#include "upload/SelectProgramFile.h"

#include <QDir>
#include <QLineEdit>
#include <QPushButton>

void frmMain::selectProgramFile() {
    UploadState state = uploadState();
    FileAccess::SelectProgramFile(state);
}

void frmMain::clearDisplay() {
    SaxComm1->setDisplayText(QByteArrayLiteral("\x1b[2J"));
    SaxComm1->setSetting93(0);
    SaxComm1->setSetting93(500);
}

void frmMain::exitProgram() {
    close();
}

void frmMain::txtVersionInfo_Click() {
    cmdConnect->setFocus();
}

void frmMain::showAbout() {
    MessageBox::MsgBox(QStringLiteral("Brisa Infineon Flash Programmer\r\r") +
                           txtVersionInfo->text() +
                           QStringLiteral("\r\rLoads a program image into the flash memory of an "
                                          "Infineon target board over a serial line, and "
                                          "verifies it by reading the flash back."),
                       MessageBox::vbInformation, QStringLiteral("About"));
}

void frmMain::showContents() {
    MessageBox::MsgBox(
        QStringLiteral(
            "Loading a program image into the target:\r\r"
            "1. Connect: opens the serial port; the target's answer shows in the terminal.\r"
            "2. File > Select File: choose the program image (*.bin, *.h86, *.hex or any "
            "file; it is sent as raw bytes).\r"
            "3. Upload Program, then Upload Data: sends the file to the target.\r"
            "4. Verify Data: the target sends its flash back and it is compared byte by byte "
            "with the file.\r\r"
            "Serial port and baud rate are set in the settings file, while the program is "
            "closed:\r"
            "  [CONFIGURATION]\r  Serial Port=2   (COM1 to COM4)\r"
            "  Baud Rate=9600  (1200 to 115200, a multiple of 1200)\r"
            "Settings file in use: ") +
            QDir::toNativeSeparators(m_session.settingsFilePath()) +
            QStringLiteral(
                "\r\r"
                "On Linux, COMn is a link named COMn beside the settings file that points at the "
                "device (ln -s /dev/ttyUSB0 COM2), or else /dev/ttyS<n-1>.\r"
                "To name a USB serial adapter COM2 without root: corvid-flash --map COM2 "
                "/dev/serial/by-id/<adapter>"),
        MessageBox::vbInformation, QStringLiteral("Contents"));
}
