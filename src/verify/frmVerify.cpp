#include "verify/frmVerify.h"

#include "foundation/DoEvents.h"
#include "foundation/Forms.h"
#include "foundation/MessageBox.h"
#include "foundation/NumberText.h"
#include "foundation/ProgressBar.h"
#include "foundation/RunTimeError.h"
#include "foundation/Twips.h"
#include "serial/SaxComm.h"
#include "transfer/TargetProtocol.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

using namespace std::chrono_literals;

namespace {

QPointer<frmVerify> g_loaded;

// How long one pass of the wait may sleep when no event comes; any event ends it sooner.
constexpr std::chrono::milliseconds kWaitSlice = 250ms;
// Matching bytes whose position is a multiple of this do not yield.
constexpr qint32 kYieldSkipInterval = 10000;

void captureConfiguration(SaxComm& comm) {
    comm.setSetting6(false);
    comm.setSetting126(1);
    comm.setSetting62(false);
    comm.setSetting63(1);
}

void terminalConfiguration(SaxComm& comm) {
    comm.setSetting6(true);
    comm.setSetting126(0);
    comm.setSetting62(true);
    comm.setSetting63(0);
}

} // namespace

frmVerify& frmVerify::Load(const VerifyState& state) {
    if (!g_loaded || !Forms::IsLoaded(g_loaded.data())) {
        g_loaded = new frmVerify;
        g_loaded->m_state.emplace(state);
        g_loaded->Form_Load();
    }
    return *g_loaded;
}

frmVerify* frmVerify::loaded() {
    return g_loaded && Forms::IsLoaded(g_loaded.data()) ? g_loaded.data() : nullptr;
}

frmVerify::frmVerify(QWidget* parent) : ToolDialog(QStringLiteral("Verify Flash Data"), parent) {
    setObjectName(QStringLiteral("frmVerify"));

    cmdCancelVerify = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancelVerify->setObjectName(QStringLiteral("cmdCancelVerify"));
    cmdCancelVerify->setAutoDefault(false);
    Twips::setGeometry(cmdCancelVerify, 2040, 120, 1095, 375);

    lblVerifyReceivingData = new QLabel(QStringLiteral("Receiving Flash Data [ 0 Bytes]"), this);
    lblVerifyReceivingData->setObjectName(QStringLiteral("lblVerifyReceivingData"));
    Twips::setGeometry(lblVerifyReceivingData, 120, 720, 4815, 255);
    // The capture sets this text for every byte received. It is never rich text, and the
    // label's size never follows it, so neither is worked out again on each change.
    lblVerifyReceivingData->setTextFormat(Qt::PlainText);
    lblVerifyReceivingData->setFixedSize(lblVerifyReceivingData->size());

    pgVerify = new ProgressBar(this);
    pgVerify->setObjectName(QStringLiteral("pgVerify"));
    pgVerify->setMin(0);
    pgVerify->setMax(100);
    pgVerify->setValue(0);
    pgVerify->setAccessibleName(QStringLiteral("Flash data received"));
    Twips::setGeometry(pgVerify, 120, 960, 5055, 255);

    connect(cmdCancelVerify, &QPushButton::clicked, this, &frmVerify::cmdCancelVerify_Click);
}

void frmVerify::Form_Load() {
    lblVerifyReceivingData->setText(QStringLiteral("Receiving Flash Data [ 0 Bytes]"));
    pgVerify->setMin(1);
    pgVerify->setMax(
        static_cast<float>(qint64(m_state->lngFileSize) + TargetProtocol::kReplyHeaderLength + 1));
    pgVerify->setValue(1);
    Tag = QStringLiteral("1");
}

void frmVerify::showEvent(QShowEvent* event) {
    ToolDialog::showEvent(event);
    if (m_activated)
        return;
    m_activated = true;
    // The exchange runs once the dialog's own modal loop has started.
    QMetaObject::invokeMethod(this, &frmVerify::Form_Activate, Qt::QueuedConnection);
}

void frmVerify::cmdCancelVerify_Click() {
    if (!m_state)
        return;
    m_state->blnVerifying = false;
    Tag = QStringLiteral("0");
}

void frmVerify::reject() {
    cmdCancelVerify_Click();
}

void frmVerify::Form_Activate() {
    SaxComm& comm = m_state->comm;
    try {
        activate();
    } catch (const std::exception& failure) {
        // Whatever ended the exchange, the display goes back to showing the line.
        m_state->blnVerifying = false;
        terminalConfiguration(comm);
        const auto* runTime = dynamic_cast<const RunTimeError*>(&failure);
        if (!comm.lostEventPending())
            MessageBox::ShowFailure(
                QStringLiteral("Error Verifying Flash Data"), runTime ? runTime->number() : 0,
                runTime ? runTime->description() : QString::fromLocal8Bit(failure.what()),
                QStringLiteral("Verify Error"));
    }
    hide();
}

void frmVerify::activate() {
    SaxComm& comm = m_state->comm;
    // A Cancel that came before the exchange began stands: nothing is asked of the target.
    if (Tag.toInt() != 1)
        return;
    m_state->blnVerifying = true;
    captureConfiguration(comm);
    comm.SendText(TargetProtocol::kReadbackCommand);
    comm.SendText(TargetProtocol::kReadbackEnd);

    // The capture runs inside these waits and clears the flag when the reply is complete.
    while (m_state->blnVerifying && comm.PortIsOpen())
        WaitForEvents(kWaitSlice);
    const bool lineLost = !comm.PortIsOpen();
    m_state->blnVerifying = false;

    terminalConfiguration(comm);
    // A lost line is announced by the serial control's own event; there is no verdict.
    if (lineLost || Tag.toInt() != 1)
        return;
    compare();
}

void frmVerify::compare() {
    const QString path = m_state->strProgramFile;
    const QString sentence = QStringLiteral("Error Reading Specified Comparison File");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        const RunTimeError failure = RunTimeError::fromFile(
            file, QStringLiteral("Cannot open %1").arg(QDir::toNativeSeparators(path)));
        MessageBox::ShowFailure(sentence, failure.number(), failure.description(),
                                QStringLiteral("File Error"));
        return;
    }
    for (qint32 k = 0; k < m_state->lngFileSize; ++k) {
        char fileByte = 0;
        if (!file.getChar(&fileByte)) {
            const RunTimeError failure =
                file.error() != QFileDevice::NoError
                    ? RunTimeError::fromFile(
                          file,
                          QStringLiteral("Reading %1 failed").arg(QDir::toNativeSeparators(path)))
                    : RunTimeError(ErrorNumber::InputPastEnd,
                                   QStringLiteral("%1 ended after %2 of its %3 bytes: it was "
                                                  "changed during the verification")
                                       .arg(QDir::toNativeSeparators(path))
                                       .arg(k)
                                       .arg(m_state->lngFileSize));
            MessageBox::ShowFailure(sentence, failure.number(), failure.description(),
                                    QStringLiteral("File Error"));
            return;
        }
        const quint8 expected = static_cast<quint8>(fileByte);
        const quint8 received =
            m_state->bytRxBuffer[static_cast<size_t>(k + TargetProtocol::kReplyHeaderLength)];
        if (received != expected) {
            file.close();
            m_state->strMessage = TargetProtocol::mismatchText(k + 1, received, expected);
            MessageBox::MsgBox(m_state->strMessage, MessageBox::vbCritical,
                               QStringLiteral("Verify Error"));
            return;
        }
        if (k % kYieldSkipInterval != 0)
            DoEvents();
    }
    file.close();
    m_state->strMessage = QString::number(m_state->lngFileSize) +
                          QStringLiteral(" Bytes of Flash Data Verified Correct as Sent\r");
    MessageBox::MsgBox(m_state->strMessage, MessageBox::vbInformation,
                       QStringLiteral("Verification Complete"));
}
