#include "verify/frmVerify.h"

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

#include <algorithm>
#include <charconv>
#include <cstring>

namespace {

// "Receiving Flash Data [n Bytes]" in a single allocation, since it is made for every piece of
// the reply.
QString receivingText(qint64 count) {
    static constexpr char kPrefix[] = "Receiving Flash Data [";
    static constexpr char kSuffix[] = " Bytes]";
    char text[sizeof kPrefix + 21 + sizeof kSuffix];
    char* end = std::copy(kPrefix, kPrefix + sizeof kPrefix - 1, text);
    end = std::to_chars(end, end + 21, count).ptr;
    end = std::copy(kSuffix, kSuffix + sizeof kSuffix - 1, end);
    return QString::fromLatin1(text, end - text);
}

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
    QPointer<frmVerify>& loaded = state.verifyDialog;
    if (!loaded || !Forms::IsLoaded(loaded.data())) {
        loaded = new frmVerify;
        loaded->m_state.emplace(state);
        loaded->Form_Load();
    }
    return *loaded;
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
    connect(&m_reply, &ReplyReceiver::flashData, this, &frmVerify::storeFlash);
    connect(&m_reply, &ReplyReceiver::complete, this, [this] {
        // The reply is whole: nothing more goes to it, and a line lost now changes nothing. The
        // verdict, and its message box, come after the capture that completed it.
        m_state->blnVerifying = false;
        QMetaObject::invokeMethod(
            this, [this] { endWait(true); }, Qt::QueuedConnection);
    });
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
    Tag = QStringLiteral("0");
    // Before the exchange began, its start sees the Cancel and asks nothing of the target.
    if (m_state->blnVerifying)
        endWait(false);
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
        hide();
    }
}

void frmVerify::activate() {
    SaxComm& comm = m_state->comm;
    // A Cancel that came before the exchange began stands: nothing is asked of the target.
    if (Tag.toInt() != 1) {
        hide();
        return;
    }
    m_reply.start(m_state->lngFileSize);
    m_state->blnVerifying = true;
    captureConfiguration(comm);
    // A lost line ends the wait with no verdict; the serial control's own event announces it.
    connect(
        &comm, &SaxComm::lineLost, this,
        [this] {
            if (m_state->blnVerifying)
                endWait(false);
        },
        Qt::QueuedConnection);
    comm.SendText(TargetProtocol::kReadbackCommand);
    comm.SendText(TargetProtocol::kReadbackEnd);
}

void frmVerify::takeReply(const QByteArray& bytes) {
    if (!m_state || !m_state->blnVerifying || bytes.isEmpty())
        return;
    m_reply.take(bytes);
    m_state->lngRxCount =
        static_cast<qint32>(std::min<qint64>(m_reply.received(), Verification::kRxBufferSize));
    pgVerify->setValue(static_cast<float>(m_state->lngRxCount));
    lblVerifyReceivingData->setText(
        receivingText(qint64(m_state->lngRxCount) - TargetProtocol::kReplyHeaderLength));
}

void frmVerify::storeFlash(qint64 offset, const char* bytes, qint64 size) {
    // The file was refused before the request when its reply could not fit; the bound stays.
    const qint64 at = offset + TargetProtocol::kReplyHeaderLength;
    const qint64 count = std::min<qint64>(size, Verification::kRxBufferSize - at);
    if (count > 0)
        std::memcpy(m_state->bytRxBuffer.data() + at, bytes, static_cast<size_t>(count));
}

void frmVerify::endWait(bool replyWhole) {
    m_state->blnVerifying = false;
    disconnect(&m_state->comm, &SaxComm::lineLost, this, nullptr);
    terminalConfiguration(m_state->comm);
    if (replyWhole && Tag.toInt() == 1)
        compare();
    hide();
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
    const qint32 size = m_state->lngFileSize;
    const QByteArray contents = file.read(size);
    if (contents.isEmpty() && file.error() != QFileDevice::NoError) {
        const RunTimeError failure = RunTimeError::fromFile(
            file, QStringLiteral("Reading %1 failed").arg(QDir::toNativeSeparators(path)));
        MessageBox::ShowFailure(sentence, failure.number(), failure.description(),
                                QStringLiteral("File Error"));
        return;
    }
    for (qint32 k = 0; k < contents.size(); ++k) {
        const quint8 expected = static_cast<quint8>(contents.at(k));
        const quint8 received =
            m_state->bytRxBuffer[static_cast<size_t>(k + TargetProtocol::kReplyHeaderLength)];
        if (received != expected) {
            file.close();
            m_state->strMessage = TargetProtocol::mismatchText(k + 1, received, expected);
            MessageBox::MsgBox(m_state->strMessage, MessageBox::vbCritical,
                               QStringLiteral("Verify Error"));
            return;
        }
    }
    if (contents.size() < size) {
        const RunTimeError failure(ErrorNumber::InputPastEnd,
                                   QStringLiteral("%1 ended after %2 of its %3 bytes: it was "
                                                  "changed during the verification")
                                       .arg(QDir::toNativeSeparators(path))
                                       .arg(contents.size())
                                       .arg(size));
        MessageBox::ShowFailure(sentence, failure.number(), failure.description(),
                                QStringLiteral("File Error"));
        return;
    }
    file.close();
    m_state->strMessage = QString::number(m_state->lngFileSize) +
                          QStringLiteral(" Bytes of Flash Data Verified Correct as Sent\r");
    MessageBox::MsgBox(m_state->strMessage, MessageBox::vbInformation,
                       QStringLiteral("Verification Complete"));
}
