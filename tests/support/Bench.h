#pragma once

#include "app/frmMain.h"
#include "support/PtyPair.h"
#include "support/TestProgram.h"
#include "upload/frmStatus.h"

#include <QPushButton>
#include <QtTest>

// A started program whose COM2 is a pseudo-terminal, connected unless asked not to (the
// carriage return of the connect is taken off the record), with the message box recorded.
// The target side calls onRequest once the verification request has arrived.
struct Bench {
    MessageRecorder messages;
    PtyPair pty;
    TestProgram program;
    frmMain* form = nullptr;
    std::function<void()> onRequest;

    explicit Bench(bool connect = true) {
        program.linkPort(2, pty.slavePath());
        pty.setResponder([this](const QByteArray&) {
            if (onRequest && pty.received().endsWith("UFD\r"))
                onRequest();
        });
        form = program.start();
        if (connect) {
            QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
            QTRY_COMPARE(pty.received(), QByteArray("\r"));
            pty.clearReceived();
        }
    }

    QByteArray chooseFile(const QByteArray& content,
                          const QString& name = QStringLiteral("image.bin")) {
        form->session().strProgramFile = program.makeFile(name, content);
        return content;
    }
    void reply(const QByteArray& bytes) {
        onRequest = [this, bytes] { pty.send(bytes); };
    }
    // Clicks Upload Program; inDialog acts on the Upload Control dialog once it shows.
    void upload(std::function<void(frmStatus&)> inDialog = [](frmStatus& dialog) {
        dialog.cmdOkDownload->click();
    }) {
        whenShown<frmStatus>(QStringLiteral("frmStatus"), std::move(inDialog));
        QTest::mouseClick(form->cmdUpload, Qt::LeftButton);
    }
    void verify() { QTest::mouseClick(form->cmdVerify, Qt::LeftButton); }
};
