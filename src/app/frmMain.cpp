#include "app/frmMain.h"

#include "app/FileAccess.h"
#include "foundation/CommandGuard.h"
#include "foundation/Forms.h"
#include "foundation/MessageBox.h"
#include "foundation/NumberText.h"
#include "foundation/RunTimeError.h"
#include "foundation/StatusBar.h"
#include "foundation/Twips.h"
#include "serial/SaxComm.h"
#include "upload/frmStatus.h"
#include "verify/frmVerify.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QWindow>

#include <algorithm>
#include <optional>
#include <utility>

static void initCorvidResources() {
    Q_INIT_RESOURCE(corvid);
}

namespace {

const QString kDesignedVersion = QStringLiteral("Ver 1.10 - 04/01/2002");
const QString kVersion = QStringLiteral("Ver 1.23 - 09/05/06");

QFont designFont(const QStringList& families, double points) {
    QFont font;
    font.setFamilies(families);
    font.setPointSizeF(points);
    return font;
}

QFont sansSerif(double points) {
    return designFont({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                       QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")},
                      points);
}

QFont courier(double points) {
    QFont font = designFont({QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"),
                             QStringLiteral("DejaVu Sans Mono")},
                            points);
    font.setStyleHint(QFont::TypeWriter);
    return font;
}

QPushButton* makeButton(const QString& name, const QString& caption, QWidget* parent, double left,
                        double top, double width, double height) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setFont(sansSerif(8.25));
    button->setAutoDefault(false);
    button->setDefault(false);
    Twips::setGeometry(button, left, top, width, height);
    return button;
}

} // namespace

frmMain::frmMain(QWidget* parent) : QMainWindow(parent) {
    initCorvidResources();
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Brisa Infineon Flash Programmer"));
    setWindowIcon(QIcon(QStringLiteral(":/corvid/corvid.xpm")));
    buildMenu();
    buildControls();
    dlgCommonDialog = std::make_unique<CommonDialog>(this);
    SaxComm1->setProgramFolder(Session::settingsFolder());
    Forms::Load(this);

    // One command at a time, and no failure leaves a handler into the message loop.
    connect(cmdConnect, &QPushButton::clicked, this,
            [this] { runCommand(QStringLiteral("Connect"), [this] { cmdConnect_Click(); }); });
    connect(cmdVerify, &QPushButton::clicked, this,
            [this] { runCommand(QStringLiteral("Verify Data"), [this] { cmdVerify_Click(); }); });
    connect(cmdUpload, &QPushButton::clicked, this, [this] {
        runCommand(QStringLiteral("Upload Program"), [this] { cmdUpload_Click(); });
    });
    connect(SaxComm1, &SaxComm::portClosed, this, &frmMain::portClosed);
    connect(SaxComm1, &SaxComm::SerialEvent, this, [this] {
        try {
            SaxComm1_SerialEvent();
        } catch (const std::exception& failure) {
            reportUnhandled(QStringLiteral("Receiving from the serial port"), failure);
        }
    });
    txtVersionInfo->installEventFilter(this);
    CommandGuard::setObserver([this](bool busy) { busyChanged(busy); });

    const int menuHeight = SSActiveToolBars1->sizeHint().height();
    resize(Twips::toPixelsX(11280), Twips::toPixelsY(7665) + menuHeight);
}

frmMain::~frmMain() {
    qApp->removeEventFilter(this);
    CommandGuard::setObserver({});
}

void frmMain::buildMenu() {
    SSActiveToolBars1 = menuBar();
    SSActiveToolBars1->setObjectName(QStringLiteral("SSActiveToolBars1"));
    SSActiveToolBars1->setAccessibleName(QStringLiteral("Main Menu"));

    auto addMenu = [this](const QString& id, const QString& caption) {
        QMenu* menu = SSActiveToolBars1->addMenu(caption);
        menu->setObjectName(id);
        menu->menuAction()->setObjectName(id);
        return menu;
    };
    // Each tool runs as a command: one at a time, and no failure leaves its slot.
    auto addTool = [this](QMenu* menu, const QString& id, const QString& caption,
                          void (frmMain::*slot)(), bool holdsTheGuard = true) {
        QAction* action = menu->addAction(caption);
        action->setObjectName(id);
        action->setParent(this);
        connect(action, &QAction::triggered, this,
                [this, what = QString(caption).remove(u'&'), slot, holdsTheGuard] {
                    runCommand(
                        what, [this, slot] { (this->*slot)(); }, holdsTheGuard);
                });
    };
    QMenu* file = addMenu(QStringLiteral("ID_File"), QStringLiteral("&File"));
    addTool(file, QStringLiteral("ID_SelectFile"), QStringLiteral("&Select File"),
            &frmMain::selectProgramFile);
    addTool(file, QStringLiteral("ID_ClearDisplay"), QStringLiteral("Clear Display"),
            &frmMain::clearDisplay);
    file->addSeparator();
    // Exit closes the window at once, which a command holding the guard would put off.
    addTool(file, QStringLiteral("ID_Exit"), QStringLiteral("E&xit"), &frmMain::exitProgram, false);
    QMenu* help = addMenu(QStringLiteral("ID_Help"), QStringLiteral("&Help"));
    addTool(help, QStringLiteral("ID_Contents"), QStringLiteral("Co&ntents"),
            &frmMain::showContents);
    help->addSeparator();
    addTool(help, QStringLiteral("ID_About"), QStringLiteral("&About"), &frmMain::showAbout);
}

void frmMain::buildControls() {
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("clientArea"));
    setCentralWidget(client);

    SaxComm1 = new SaxComm(client);
    SaxComm1->setObjectName(QStringLiteral("SaxComm1"));
    SaxComm1->setAccessibleName(QStringLiteral("Terminal display"));

    frControls = new QGroupBox(QStringLiteral("Controls"), client);
    frControls->setObjectName(QStringLiteral("frControls"));
    frControls->setFont(sansSerif(9.75));
    Twips::setLeft(frControls, 120);
    Twips::setHeight(frControls, 855);

    cmdConnect = makeButton(QStringLiteral("cmdConnect"), QStringLiteral("&Connect"), frControls,
                            360, 300, 975, 375);
    cmdUpload = makeButton(QStringLiteral("cmdUpload"), QStringLiteral("&Upload Program"),
                           frControls, 1440, 300, 1815, 375);
    cmdVerify = makeButton(QStringLiteral("cmdVerify"), QStringLiteral("&Verify Data"), frControls,
                           3360, 300, 1095, 375);

    lblVersionInfo = new QLabel(QStringLiteral("Version Info"), frControls);
    lblVersionInfo->setObjectName(QStringLiteral("lblVersionInfo"));
    lblVersionInfo->setFont(sansSerif(9.75));
    Twips::setGeometry(lblVersionInfo, 5520, 300, 1215, 255);

    txtVersionInfo = new QLineEdit(kDesignedVersion, frControls);
    txtVersionInfo->setObjectName(QStringLiteral("txtVersionInfo"));
    txtVersionInfo->setFont(courier(9.75));
    txtVersionInfo->setReadOnly(true);
    txtVersionInfo->setAccessibleName(QStringLiteral("Version Info"));
    lblVersionInfo->setBuddy(txtVersionInfo);
    Twips::setGeometry(txtVersionInfo, 6720, 300, 3615, 360);

    StatusBar1 = new StatusBar(this);
    StatusBar1->setFont(sansSerif(9.75));
    StatusBar1->setFixedHeight(Twips::toPixelsY(375));
    setStatusBar(StatusBar1);

    // Keyboard order: the terminal, then the version text and the buttons in their tab order.
    setTabOrder(SaxComm1, txtVersionInfo);
    setTabOrder(txtVersionInfo, cmdUpload);
    setTabOrder(cmdUpload, cmdConnect);
    setTabOrder(cmdConnect, cmdVerify);
}

double frmMain::Left() const {
    return Twips::Left(this);
}

double frmMain::Top() const {
    return Twips::Top(this);
}

double frmMain::Width() const {
    return Twips::Width(this);
}

double frmMain::Height() const {
    return Twips::Height(this);
}

void frmMain::setLeft(double twips) {
    Twips::setLeft(this, twips);
}

void frmMain::setTop(double twips) {
    Twips::setTop(this, twips);
}

void frmMain::setWidth(double twips) {
    m_outerSizePending = m_outerSizePending || !isVisible();
    Twips::setWidth(this, twips);
}

void frmMain::setHeight(double twips) {
    m_outerSizePending = m_outerSizePending || !isVisible();
    Twips::setHeight(this, twips);
}

int frmMain::WindowState() const {
    if (isMinimized())
        return vbMinimized;
    if (isMaximized())
        return vbMaximized;
    return vbNormal;
}

void frmMain::Form_Load() {
    try {
        m_session.InitVariables(*this);
        SaxComm1->setPortNumber(m_session.intCommPort);
        SaxComm1->setLineSettings(m_session.lineSettingsText());
        SaxComm1->setSetting59(1048576);
        SaxComm1->setSetting82(1048576);
        SaxComm1->setSetting2(9);
        SaxComm1->setSetting35(SaxComm1->Setting35());
        SaxComm1->setDisplayText(QByteArrayLiteral("\x1b[2J"));
        SaxComm1->setSetting111(1000);
        SaxComm1->setSetting93(500);
        cmdUpload->setEnabled(false);
        txtVersionInfo->setText(kVersion);
        show();
        SaxComm1->setFocus();
    } catch (const RunTimeError& failure) {
        m_session.strMessage = NumberText::failureMessage(
            QStringLiteral("Brisa Infineon Programmer Initialization Error"), failure.number(),
            failure.description());
        MessageBox::MsgBox(m_session.strMessage, MessageBox::vbCritical,
                           QStringLiteral("Initialization Error"));
    }
}

void frmMain::Form_Resize() {
    if (WindowState() == vbMinimized)
        return;
    Twips::setTop(SaxComm1, 0);
    Twips::setLeft(SaxComm1, 0);
    if (Width() < 5000)
        setWidth(5000);
    if (Height() < 3000)
        setHeight(3000);
    Twips::setWidth(SaxComm1, Width() - 120);
    Twips::setHeight(SaxComm1, Height() - 2295);
    Twips::setWidth(frControls, Width() - 360);
    Twips::setTop(frControls, Twips::Height(SaxComm1) + 105);
    const double frameWidth = Twips::Width(frControls);
    if (frameWidth > 10245) {
        Twips::setLeft(txtVersionInfo, frameWidth - 4575);
        Twips::setLeft(lblVersionInfo, frameWidth - 5775);
    } else {
        Twips::setLeft(txtVersionInfo, 5685);
        Twips::setLeft(lblVersionInfo, 4485);
    }
}

void frmMain::Form_Unload() {
    if (m_unloaded)
        return;
    m_unloaded = true;
    try {
        ShutDown();
    } catch (const std::exception& failure) {
        reportUnhandled(QStringLiteral("Shutting down"), failure);
    }
}

void frmMain::ShutDown() {
    // The window's close has already let the line take what was queued.
    if (SaxComm1->PortIsOpen())
        SaxComm1->setPortIsOpen(false);
    FileAccess::WriteIniFile(m_session.settingsFilePath(), *this, m_session);
    const int count = Forms::Count();
    for (qint16 n = static_cast<qint16>(count - 1); n >= 1; --n)
        Forms::Unload(Forms::At(n));
}

void frmMain::reportUnhandled(const QString& what, const std::exception& failure) {
    const auto* runTime = dynamic_cast<const RunTimeError*>(&failure);
    m_session.strMessage = NumberText::failureMessage(
        what + QStringLiteral(" failed"), runTime ? runTime->number() : 0,
        runTime ? runTime->description() : QString::fromLocal8Bit(failure.what()));
    MessageBox::MsgBox(m_session.strMessage, MessageBox::vbCritical,
                       QStringLiteral("Brisa Infineon Flash Programmer"));
}

UploadState frmMain::uploadState() {
    return UploadState{*SaxComm1,
                       *StatusBar1,
                       *dlgCommonDialog,
                       m_session.strProgramFile,
                       m_session.lngFileSize,
                       m_session.varDownloadLength,
                       m_session.intCommPort,
                       m_session.lineSettingsText(),
                       [this] { lineFailureReported(); },
                       m_statusDialog};
}

VerifyState frmMain::verifyState() {
    return VerifyState{*SaxComm1,
                       m_session.strProgramFile,
                       m_session.lngFileSize,
                       m_session.blnVerifying,
                       m_session.bytRxBuffer,
                       m_session.lngRxCount,
                       m_session.strMessage,
                       m_verifyDialog};
}

void frmMain::portClosed(int errorNumber, const QString& description) {
    const ClosingFor closingFor = std::exchange(m_closingFor, ClosingFor::Nothing);
    try {
        if (closingFor == ClosingFor::Disconnect)
            disconnected(errorNumber, description);
        // The settings must still be written: say what was lost and go on.
        if (closingFor == ClosingFor::Exit && errorNumber != 0)
            reportUnhandled(QStringLiteral("Closing the serial port"),
                            RunTimeError(errorNumber, description));
    } catch (const std::exception& failure) {
        reportUnhandled(QStringLiteral("Closing the serial port"), failure);
    }
    m_closing.reset();
    if (closingFor == ClosingFor::Exit)
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void frmMain::runCommand(const QString& what, const std::function<void()>& handler,
                         bool holdsTheGuard) {
    if (CommandGuard::busy())
        return;
    std::optional<CommandGuard::Hold> running;
    if (holdsTheGuard)
        running.emplace();
    try {
        handler();
    } catch (const std::exception& failure) {
        reportUnhandled(what, failure);
    }
}

void frmMain::busyChanged(bool busy) {
    // Input to the window is held back while a command runs, as under a modal dialog, also
    // once the command's dialog has been hidden.
    if (busy) {
        qApp->installEventFilter(this);
        setCursor(Qt::BusyCursor);
        return;
    }
    qApp->removeEventFilter(this);
    unsetCursor();
    if (m_closePending)
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

bool frmMain::blocksInput(QObject* receiver, const QEvent* event) const {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TabletPress:
        break;
    default:
        return false;
    }
    if (!CommandGuard::busy())
        return false;
    // The window itself, where input from the window system arrives first, and its own widgets
    // and actions; a dialog or message box is a window of its own.
    if (receiver == windowHandle())
        return true;
    for (QObject* object = receiver; object; object = object->parent()) {
        if (object == this)
            return true;
        if (object->isWidgetType() && static_cast<QWidget*>(object)->isWindow())
            return false;
    }
    return false;
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    if (blocksInput(watched, event))
        return true;
    // A click is a press and a release; the focus moves once the click is complete.
    if (watched == txtVersionInfo && event->type() == QEvent::MouseButtonRelease) {
        const auto* release = static_cast<QMouseEvent*>(event);
        if (release->button() == Qt::LeftButton &&
            txtVersionInfo->rect().contains(release->position().toPoint()))
            txtVersionInfo_Click();
    }
    return QMainWindow::eventFilter(watched, event);
}

void frmMain::closeEvent(QCloseEvent* event) {
    if (CommandGuard::busy()) {
        event->ignore();
        // The close box of a blocked window does nothing, as under a modal dialog.
        if (event->spontaneous())
            return;
        // The program is asked to close (a signal): the running command is stopped, and the
        // window closes once it has returned, since its dialogs are still in use on the stack.
        m_closePending = true;
        if (m_statusDialog)
            m_statusDialog->stopForShutdown();
        if (m_verifyDialog)
            m_verifyDialog->cmdCancelVerify_Click();
        MessageBox::dismissOpen();
        return;
    }
    if (SaxComm1->PortIsOpen() && !m_unloaded) {
        // The port closes once the line has taken what is queued; the window closes then.
        event->ignore();
        m_closingFor = ClosingFor::Exit;
        m_closing.emplace();
        SaxComm1->setPortIsOpen(false);
        return;
    }
    Form_Unload();
    Forms::Remove(this);
    event->accept();
}

void frmMain::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    Form_Resize();
}

void frmMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    applyOuterSizeOnceFramed();
    if (!std::exchange(m_placedOnScreen, true))
        keepWithinReach();
}

void frmMain::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    applyOuterSizeOnceFramed();
}

void frmMain::keepWithinReach() {
    // The settings file may place the window on a monitor that is gone, or hold numbers no
    // screen has: a window whose title bar is on no screen cannot be seen or moved, so it goes
    // to the primary screen instead; any other stored position is kept as it is.
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary)
        return;
    const QRect outer = frameGeometry();
    const int titleHeight =
        std::max(geometry().top() - outer.top(),
                 style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this));
    const QRect titleBar(outer.topLeft(), QSize(outer.width(), titleHeight));
    // Enough of the title bar to take hold of with the mouse.
    constexpr int kGripWidth = 64;
    const auto reachable = [&](const QScreen* screen) {
        const QRect seen = titleBar & screen->availableGeometry();
        return seen.width() >= std::min(kGripWidth, outer.width()) &&
               seen.height() >= (titleHeight + 1) / 2;
    };
    const QList<QScreen*> screens = QGuiApplication::screens();
    // A window never moved is placed by the window system, which knows its screens.
    const bool onScreen =
        !testAttribute(Qt::WA_Moved) || std::any_of(screens.cbegin(), screens.cend(), reachable);

    QRect placed(outer.topLeft(),
                 outer.size().boundedTo(onScreen ? primary->availableVirtualGeometry().size()
                                                 : primary->availableGeometry().size()));
    if (!onScreen)
        placed.moveCenter(primary->availableGeometry().center());
    if (placed == outer)
        return;
    // Set through the twips properties, so that what is written at exit is where it now is.
    if (placed.topLeft() != outer.topLeft()) {
        setLeft(placed.x() * Twips::perPixelX());
        setTop(placed.y() * Twips::perPixelY());
    }
    if (placed.size() != outer.size()) {
        setWidth(placed.width() * Twips::perPixelX());
        setHeight(placed.height() * Twips::perPixelY());
    }
}

void frmMain::applyOuterSizeOnceFramed() {
    // The window frame is known only once the window system has framed the shown window; an
    // outer size set before that (from the settings file) is applied again so that the frame
    // is counted in it, and the size written back at exit is the size that was read.
    if (!m_outerSizePending || !isVisible() || frameGeometry().size() == size())
        return;
    m_outerSizePending = false;
    const QVariant width = property("twipsWidth");
    const QVariant height = property("twipsHeight");
    if (width.isValid())
        setWidth(width.toDouble());
    if (height.isValid())
        setHeight(height.toDouble());
}

void frmMain::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // Restoring from minimised gives no size change; the layout is made again all the same.
    if (event->type() == QEvent::WindowStateChange)
        Form_Resize();
}
