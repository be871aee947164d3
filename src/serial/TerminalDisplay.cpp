#include "serial/TerminalDisplay.h"

#include "serial/CodePage437.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

namespace {

constexpr std::uint8_t ForegroundMask = 0x07;
constexpr std::uint8_t BoldBit = 0x08;
constexpr int BackgroundShift = 4;
constexpr std::uint8_t BackgroundMask = 0x70;
constexpr std::uint8_t DefaultAttributes = 0x07;

constexpr int MaxSequenceBytes = 32;
constexpr int MaxParameters = 16;
constexpr int MaxParameterValue = 9999;
constexpr int TabWidth = 8;

constexpr char Escape = '\x1b';

// The Windows console palette in ANSI order, normal then bright.
constexpr std::array<QRgb, 16> Palette = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xc0c0c0,
    0x808080, 0xff0000, 0x00ff00, 0xffff00, 0x0000ff, 0xff00ff, 0x00ffff, 0xffffff,
};

QColor foregroundColour(std::uint8_t attributes) {
    return QColor(Palette[(attributes & ForegroundMask) + ((attributes & BoldBit) ? 8 : 0)]);
}

int backgroundIndex(std::uint8_t attributes) {
    return (attributes & BackgroundMask) >> BackgroundShift;
}

bool isPlainAscii(char16_t glyph) {
    return glyph >= 0x20 && glyph < 0x7f;
}

// Ctrl with a letter, as opposed to AltGr (Ctrl+Alt) which types characters.
bool isControlLetter(const QKeyEvent& event) {
    const auto modifiers = event.modifiers();
    return modifiers.testFlag(Qt::ControlModifier) && !modifiers.testFlag(Qt::AltModifier) &&
           event.key() >= Qt::Key_A && event.key() <= Qt::Key_Z;
}

QByteArray bytesForKey(const QKeyEvent& event) {
    if (isControlLetter(event))
        return QByteArray(1, static_cast<char>(event.key() - Qt::Key_A + 1));
    switch (event.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return QByteArrayLiteral("\r");
    case Qt::Key_Backspace:
        return QByteArrayLiteral("\x08");
    case Qt::Key_Escape:
        return QByteArrayLiteral("\x1b");
    case Qt::Key_Up:
        return QByteArrayLiteral("\x1b[A");
    case Qt::Key_Down:
        return QByteArrayLiteral("\x1b[B");
    case Qt::Key_Right:
        return QByteArrayLiteral("\x1b[C");
    case Qt::Key_Left:
        return QByteArrayLiteral("\x1b[D");
    default:
        break;
    }
    const auto modifiers = event.modifiers();
    // Alt alone belongs to menu mnemonics.
    if (modifiers.testFlag(Qt::AltModifier) && !modifiers.testFlag(Qt::ControlModifier))
        return {};
    const QString text = event.text();
    const bool printable = !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) {
        return c.unicode() >= 0x20 && c.unicode() != 0x7f;
    });
    return printable ? CodePage437::fromUnicode(text) : QByteArray();
}

// The display as a screen reader sees it: a terminal whose text is what the view shows, as the
// terminal widgets of desktop environments present themselves.
class TerminalAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit TerminalAccessible(TerminalDisplay* display)
        : QAccessibleWidget(display, QAccessible::Terminal) {}
    // The widget's name and description, beside the text interface's text of a range.
    using QAccessibleWidget::text;

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    // The display has no selection of its own.
    void selection(int, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = 0;
    }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}

    // The cursor is the board's; a reader cannot move it.
    int cursorPosition() const override { return std::max(0, display()->visibleCursorOffset()); }
    void setCursorPosition(int) override {}

    QString text(int startOffset, int endOffset) const override {
        return display()->visibleText().mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override {
        return static_cast<int>(display()->visibleText().size());
    }
    QRect characterRect(int offset) const override {
        const QRect cell = display()->visibleCharacterRect(offset);
        return QRect(display()->viewport()->mapToGlobal(cell.topLeft()), cell.size());
    }
    int offsetAtPoint(const QPoint& point) const override {
        return display()->visibleOffsetAt(display()->viewport()->mapFromGlobal(point));
    }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = offset;
        return {};
    }

private:
    TerminalDisplay* display() const { return static_cast<TerminalDisplay*>(widget()); }
};

QAccessibleInterface* terminalAccessibleFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("TerminalDisplay") && object && object->isWidgetType())
        return new TerminalAccessible(static_cast<TerminalDisplay*>(object));
    return nullptr;
}

} // namespace

TerminalDisplay::TerminalDisplay(QWidget* parent)
    : QAbstractScrollArea(parent), m_attributes(DefaultAttributes) {
    Row blank;
    blank.fill(Cell{u' ', DefaultAttributes});
    m_lines.assign(Rows, blank);

    QFont terminalFont;
    terminalFont.setFamilies({QStringLiteral("Terminal"), QStringLiteral("DejaVu Sans Mono"),
                              QStringLiteral("Liberation Mono"), QStringLiteral("Monospace")});
    terminalFont.setPointSize(9);
    terminalFont.setStyleHint(QFont::TypeWriter);
    terminalFont.setFixedPitch(true);
    setFont(terminalFont);
    updateMetrics();

    setFocusPolicy(Qt::StrongFocus);
    static const bool accessibleFactoryInstalled =
        (QAccessible::installFactory(terminalAccessibleFactory), true);
    Q_UNUSED(accessibleFactoryInstalled);
    setAccessibleName(tr("Terminal display"));
    setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContentsOnFirstShow);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    verticalScrollBar()->setSingleStep(1);
    updateScrollBars();
}

void TerminalDisplay::write(const QByteArray& bytes) {
    if (bytes.isEmpty())
        return;
    QScrollBar* bar = verticalScrollBar();
    const bool following = bar->value() >= bar->maximum();
    m_writing = true;
    m_droppedLines = 0;
    for (const char byte : bytes)
        processByte(static_cast<quint8>(byte));
    if (m_lastUsedRowStale)
        refreshLastUsedRow();
    updateScrollBars();
    // A reader who scrolled up keeps looking at the same lines while old ones are dropped.
    bar->setValue(following ? bar->maximum() : bar->value() - m_droppedLines);
    m_writing = false;
    viewport()->update();
    announceChanges();
}

void TerminalDisplay::setScrollbackLines(int lines) {
    m_scrollbackLimit = std::max(0, lines);
    QScrollBar* bar = verticalScrollBar();
    const bool following = bar->value() >= bar->maximum();
    while (scrollbackCount() > m_scrollbackLimit)
        m_lines.pop_front();
    updateScrollBars();
    if (following)
        bar->setValue(bar->maximum());
    viewport()->update();
    announceChanges();
}

QString TerminalDisplay::screenText() const {
    QStringList lines;
    for (int row = 0; row < Rows; ++row)
        lines.append(rowText(screenRow(row)));
    while (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    return lines.join(u'\n');
}

QStringList TerminalDisplay::visibleRows() const {
    const int first = verticalScrollBar()->value();
    const int shown = (viewport()->height() + m_cellHeight - 1) / m_cellHeight;
    const int last = std::min(first + shown, contentRows()) - 1;
    const int cursorLine = scrollbackCount() + m_cursorRow;
    QStringList rows;
    for (int line = first; line <= last; ++line) {
        QString text = rowText(m_lines[static_cast<std::size_t>(line)]);
        if (line == cursorLine && text.size() < m_cursorColumn)
            text.append(QString(m_cursorColumn - text.size(), u' '));
        rows.append(text);
    }
    return rows;
}

QString TerminalDisplay::visibleText() const {
    return visibleRows().join(u'\n');
}

int TerminalDisplay::visibleCursorOffset() const {
    const int row = scrollbackCount() + m_cursorRow - verticalScrollBar()->value();
    const QStringList rows = visibleRows();
    if (row < 0 || row >= rows.size())
        return -1;
    int offset = m_cursorColumn;
    for (int i = 0; i < row; ++i)
        offset += static_cast<int>(rows.at(i).size()) + 1;
    return offset;
}

QRect TerminalDisplay::visibleCharacterRect(int offset) const {
    const QStringList rows = visibleRows();
    int row = 0;
    while (row < rows.size() - 1 && offset > rows.at(row).size()) {
        offset -= static_cast<int>(rows.at(row).size()) + 1;
        ++row;
    }
    if (offset < 0 || rows.isEmpty())
        return {};
    return QRect(offset * m_cellWidth - horizontalScrollBar()->value(), row * m_cellHeight,
                 m_cellWidth, m_cellHeight);
}

int TerminalDisplay::visibleOffsetAt(QPoint viewportPoint) const {
    const QStringList rows = visibleRows();
    const int row = viewportPoint.y() / m_cellHeight;
    if (viewportPoint.y() < 0 || row >= rows.size())
        return -1;
    const int column = (viewportPoint.x() + horizontalScrollBar()->value()) / m_cellWidth;
    int offset = std::clamp(column, 0, static_cast<int>(rows.at(row).size()));
    for (int i = 0; i < row; ++i)
        offset += static_cast<int>(rows.at(i).size()) + 1;
    return offset;
}

void TerminalDisplay::announceChanges() {
    // Qt passes nothing on while no assistive technology listens.
    if (!QAccessible::isActive())
        return;
    // Only the changed stretch is told, so a reader hears a new line, not the whole screen.
    const QString text = visibleText();
    const QString& old = m_announcedText;
    qsizetype prefix = 0;
    while (prefix < old.size() && prefix < text.size() && old.at(prefix) == text.at(prefix))
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < old.size() - prefix && suffix < text.size() - prefix &&
           old.at(old.size() - 1 - suffix) == text.at(text.size() - 1 - suffix))
        ++suffix;
    const QString removed = old.mid(prefix, old.size() - prefix - suffix);
    const QString inserted = text.mid(prefix, text.size() - prefix - suffix);
    const int position = static_cast<int>(prefix);
    if (!removed.isEmpty() && !inserted.isEmpty()) {
        QAccessibleTextUpdateEvent event(this, position, removed, inserted);
        QAccessible::updateAccessibility(&event);
    } else if (!inserted.isEmpty()) {
        QAccessibleTextInsertEvent event(this, position, inserted);
        QAccessible::updateAccessibility(&event);
    } else if (!removed.isEmpty()) {
        QAccessibleTextRemoveEvent event(this, position, removed);
        QAccessible::updateAccessibility(&event);
    }
    m_announcedText = text;
    const int cursor = visibleCursorOffset();
    if (cursor != m_announcedCursor && cursor >= 0) {
        QAccessibleTextCursorEvent event(this, cursor);
        QAccessible::updateAccessibility(&event);
    }
    m_announcedCursor = cursor;
}

QStringList TerminalDisplay::allLines() const {
    QStringList lines;
    lines.reserve(static_cast<qsizetype>(m_lines.size()));
    for (const Row& row : m_lines)
        lines.append(rowText(row));
    const qsizetype scrollback = scrollbackCount();
    while (lines.size() > scrollback && lines.constLast().isEmpty())
        lines.removeLast();
    return lines;
}

void TerminalDisplay::processByte(quint8 byte) {
    switch (m_state) {
    case ParserState::Ground:
        if (byte >= 0x20)
            print(CodePage437::toUnicode(byte));
        else
            processControl(byte);
        break;
    case ParserState::Escape:
        if (byte == '[') {
            m_sequence.clear();
            m_state = ParserState::Csi;
        } else if (byte != Escape) {
            // A second ESC starts the next sequence; anything else is dropped with the first.
            m_state = ParserState::Ground;
        }
        break;
    case ParserState::Csi:
    case ParserState::CsiIntermediate:
    case ParserState::CsiIgnore:
        processCsiByte(byte);
        break;
    }
}

void TerminalDisplay::processControl(quint8 byte) {
    switch (byte) {
    case '\r':
        m_wrapPending = false;
        m_cursorColumn = 0;
        break;
    case '\n':
        m_wrapPending = false;
        lineFeed();
        break;
    case '\b':
        m_wrapPending = false;
        m_cursorColumn = std::max(0, m_cursorColumn - 1);
        break;
    case '\t':
        m_wrapPending = false;
        m_cursorColumn = std::min(Columns - 1, (m_cursorColumn / TabWidth + 1) * TabWidth);
        break;
    case Escape:
        m_state = ParserState::Escape;
        break;
    default:
        break;
    }
}

void TerminalDisplay::processCsiByte(quint8 byte) {
    const bool parameter = byte >= 0x30 && byte <= 0x3f;
    const bool intermediate = byte >= 0x20 && byte <= 0x2f;
    const bool final = byte >= 0x40 && byte <= 0x7e;
    if (final) {
        if (m_state != ParserState::CsiIgnore)
            executeCsi(static_cast<char>(byte));
        m_state = ParserState::Ground;
        return;
    }
    if (parameter || intermediate) {
        if (m_state == ParserState::CsiIgnore)
            return;
        // Skipping to the final byte keeps the rest of a broken sequence off the screen.
        if ((parameter && m_state == ParserState::CsiIntermediate) ||
            m_sequence.size() >= MaxSequenceBytes) {
            m_state = ParserState::CsiIgnore;
            return;
        }
        m_sequence.append(static_cast<char>(byte));
        if (intermediate)
            m_state = ParserState::CsiIntermediate;
        return;
    }
    // A control character or a byte from 0x7F up ends the sequence; controls still act.
    m_state = ParserState::Ground;
    if (byte < 0x20)
        processControl(byte);
}

void TerminalDisplay::executeCsi(char finalByte) {
    std::array<int, MaxParameters> parameters{};
    int index = 0;
    for (const char byte : std::as_const(m_sequence)) {
        if (byte == ';') {
            ++index;
        } else if (byte >= '0' && byte <= '9') {
            if (index < MaxParameters)
                parameters[index] =
                    std::min(parameters[index] * 10 + (byte - '0'), MaxParameterValue);
        } else {
            return; // private markers and intermediates select functions not supported here
        }
    }
    const int count = m_sequence.isEmpty() ? 0 : std::min(index + 1, MaxParameters);
    const auto parameter = [&](int i, int fallback) {
        return i < count && parameters[i] != 0 ? parameters[i] : fallback;
    };

    switch (finalByte) {
    case 'A':
        setCursor(m_cursorColumn, m_cursorRow - parameter(0, 1));
        break;
    case 'B':
        setCursor(m_cursorColumn, m_cursorRow + parameter(0, 1));
        break;
    case 'C':
        setCursor(m_cursorColumn + parameter(0, 1), m_cursorRow);
        break;
    case 'D':
        setCursor(m_cursorColumn - parameter(0, 1), m_cursorRow);
        break;
    case 'H':
    case 'f':
        setCursor(parameter(1, 1) - 1, parameter(0, 1) - 1);
        break;
    case 'J':
        switch (parameter(0, 0)) {
        case 0:
            eraseCells(m_cursorRow, m_cursorColumn, Columns - 1);
            for (int row = m_cursorRow + 1; row < Rows; ++row)
                eraseCells(row, 0, Columns - 1);
            break;
        case 1:
            for (int row = 0; row < m_cursorRow; ++row)
                eraseCells(row, 0, Columns - 1);
            eraseCells(m_cursorRow, 0, m_cursorColumn);
            break;
        case 2:
            for (int row = 0; row < Rows; ++row)
                eraseCells(row, 0, Columns - 1);
            setCursor(0, 0);
            break;
        default:
            break;
        }
        break;
    case 'K':
        switch (parameter(0, 0)) {
        case 0:
            eraseCells(m_cursorRow, m_cursorColumn, Columns - 1);
            break;
        case 1:
            eraseCells(m_cursorRow, 0, m_cursorColumn);
            break;
        case 2:
            eraseCells(m_cursorRow, 0, Columns - 1);
            break;
        default:
            break;
        }
        break;
    case 's':
        m_savedCursor = cursorPosition();
        break;
    case 'u':
        setCursor(m_savedCursor.x(), m_savedCursor.y());
        break;
    case 'm':
        selectGraphicRendition(parameters.data(), count);
        break;
    default:
        break;
    }
}

void TerminalDisplay::selectGraphicRendition(const int* parameters, int count) {
    if (count == 0) {
        m_attributes = DefaultAttributes;
        return;
    }
    for (int i = 0; i < count; ++i) {
        const int value = parameters[i];
        if (value == 0) {
            m_attributes = DefaultAttributes;
        } else if (value == 1) {
            m_attributes |= BoldBit;
        } else if (value == 22) {
            m_attributes &= ~BoldBit;
        } else if ((value >= 30 && value <= 37) || value == 39) {
            const int colour = value == 39 ? DefaultAttributes : value - 30;
            m_attributes = (m_attributes & ~ForegroundMask) | colour;
        } else if ((value >= 40 && value <= 47) || value == 49) {
            const int colour = value == 49 ? 0 : value - 40;
            m_attributes = (m_attributes & ~BackgroundMask) | (colour << BackgroundShift);
        } else if ((value == 38 || value == 48) && i + 1 < count) {
            // Extended colours are not shown, but their arguments must not be read as codes.
            i += parameters[i + 1] == 5 ? 2 : parameters[i + 1] == 2 ? 4 : 0;
        }
    }
}

void TerminalDisplay::print(char16_t glyph) {
    if (m_wrapPending) {
        m_wrapPending = false;
        m_cursorColumn = 0;
        lineFeed();
    }
    const Cell cell{glyph, m_attributes};
    screenRow(m_cursorRow)[m_cursorColumn] = cell;
    if (glyph != u' ' || backgroundIndex(m_attributes) != 0)
        m_lastUsedRow = std::max(m_lastUsedRow, m_cursorRow);
    if (m_cursorColumn == Columns - 1)
        m_wrapPending = true;
    else
        ++m_cursorColumn;
}

void TerminalDisplay::lineFeed() {
    if (m_cursorRow < Rows - 1) {
        ++m_cursorRow;
        return;
    }
    Row blank;
    blank.fill(blankCell());
    m_lines.push_back(blank);
    m_lastUsedRow = std::max(-1, m_lastUsedRow - 1);
    if (blank[0] != Cell{u' ', DefaultAttributes})
        m_lastUsedRow = Rows - 1;
    if (scrollbackCount() > m_scrollbackLimit) {
        m_lines.pop_front();
        ++m_droppedLines;
    }
}

void TerminalDisplay::eraseCells(int row, int fromColumn, int toColumn) {
    Row& cells = screenRow(row);
    std::fill(cells.begin() + fromColumn, cells.begin() + toColumn + 1, blankCell());
    m_lastUsedRowStale = true;
}

void TerminalDisplay::setCursor(int column, int row) {
    m_cursorColumn = std::clamp(column, 0, Columns - 1);
    m_cursorRow = std::clamp(row, 0, Rows - 1);
    m_wrapPending = false;
}

TerminalDisplay::Row& TerminalDisplay::screenRow(int row) {
    return m_lines[m_lines.size() - Rows + row];
}

const TerminalDisplay::Row& TerminalDisplay::screenRow(int row) const {
    return m_lines[m_lines.size() - Rows + row];
}

int TerminalDisplay::scrollbackCount() const {
    return static_cast<int>(m_lines.size()) - Rows;
}

int TerminalDisplay::shownScreenRows() const {
    return std::max(m_lastUsedRow, m_cursorRow) + 1;
}

int TerminalDisplay::contentRows() const {
    return scrollbackCount() + shownScreenRows();
}

void TerminalDisplay::refreshLastUsedRow() {
    m_lastUsedRow = -1;
    for (int row = Rows - 1; row >= 0 && m_lastUsedRow < 0; --row) {
        const Row& cells = screenRow(row);
        if (std::any_of(cells.begin(), cells.end(), [](const Cell& cell) {
                return cell.glyph != u' ' || backgroundIndex(cell.attributes) != 0;
            }))
            m_lastUsedRow = row;
    }
    m_lastUsedRowStale = false;
}

TerminalDisplay::Cell TerminalDisplay::blankCell() const {
    // Erased cells keep the current background, as on the PC console.
    return Cell{u' ',
                static_cast<std::uint8_t>(DefaultAttributes | (m_attributes & BackgroundMask))};
}

QString TerminalDisplay::rowText(const Row& row) {
    int length = Columns;
    while (length > 0 && row[length - 1].glyph == u' ')
        --length;
    QString text(length, Qt::Uninitialized);
    for (int column = 0; column < length; ++column)
        text[column] = QChar(row[column].glyph);
    return text;
}

void TerminalDisplay::updateMetrics() {
    const QFontMetrics metrics(font());
    m_cellWidth = std::max(1, metrics.horizontalAdvance(QLatin1Char('M')));
    m_cellHeight = std::max(1, metrics.height());
    m_ascent = metrics.ascent();
}

void TerminalDisplay::updateScrollBars() {
    const int visibleRows = std::max(1, viewport()->height() / m_cellHeight);
    QScrollBar* vertical = verticalScrollBar();
    vertical->setPageStep(visibleRows);
    vertical->setRange(0, std::max(0, contentRows() - visibleRows));
    QScrollBar* horizontal = horizontalScrollBar();
    horizontal->setPageStep(viewport()->width());
    horizontal->setSingleStep(m_cellWidth);
    horizontal->setRange(0, std::max(0, Columns * m_cellWidth - viewport()->width()));
}

QSize TerminalDisplay::viewportSizeHint() const {
    return {Columns * m_cellWidth, Rows * m_cellHeight};
}

void TerminalDisplay::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    painter.fillRect(event->rect(), QColor(Palette[0]));
    painter.setFont(font());

    const int firstLine = verticalScrollBar()->value();
    const int xOffset = -horizontalScrollBar()->value();
    const int top = firstLine + std::max(0, event->rect().top()) / m_cellHeight;
    const int bottom =
        std::min(firstLine + event->rect().bottom() / m_cellHeight, contentRows() - 1);
    for (int line = top; line <= bottom; ++line)
        paintRow(painter, m_lines[static_cast<std::size_t>(line)],
                 (line - firstLine) * m_cellHeight, xOffset);

    const int cursorLine = scrollbackCount() + m_cursorRow;
    if (hasFocus() && cursorLine >= top && cursorLine <= bottom) {
        const QRect cell(xOffset + m_cursorColumn * m_cellWidth,
                         (cursorLine - firstLine) * m_cellHeight, m_cellWidth, m_cellHeight);
        painter.fillRect(cell, QColor(Palette[DefaultAttributes]));
        painter.setPen(QColor(Palette[0]));
        painter.drawText(cell.left(), cell.top() + m_ascent,
                         QString(QChar(screenRow(m_cursorRow)[m_cursorColumn].glyph)));
    }
}

void TerminalDisplay::paintRow(QPainter& painter, const Row& row, int y, int xOffset) const {
    for (int column = 0; column < Columns; ++column) {
        const int background = backgroundIndex(row[column].attributes);
        if (background != 0)
            painter.fillRect(xOffset + column * m_cellWidth, y, m_cellWidth, m_cellHeight,
                             QColor(Palette[background]));
    }
    const int baseline = y + m_ascent;
    for (int column = 0; column < Columns;) {
        const Cell& cell = row[column];
        if (cell.glyph == u' ') {
            ++column;
            continue;
        }
        painter.setPen(foregroundColour(cell.attributes));
        const int x = xOffset + column * m_cellWidth;
        if (!isPlainAscii(cell.glyph)) {
            // Glyphs from a fallback font may be wider: each gets its own cell.
            painter.drawText(x, baseline, QString(QChar(cell.glyph)));
            ++column;
            continue;
        }
        QString run;
        while (column < Columns && row[column].attributes == cell.attributes &&
               isPlainAscii(row[column].glyph))
            run.append(QChar(row[column++].glyph));
        painter.drawText(x, baseline, run);
    }
}

void TerminalDisplay::resizeEvent(QResizeEvent* event) {
    QScrollBar* bar = verticalScrollBar();
    const bool following = bar->value() >= bar->maximum();
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
    if (following)
        bar->setValue(bar->maximum());
    announceChanges();
}

void TerminalDisplay::scrollContentsBy(int, int) {
    if (!m_writing) {
        viewport()->update();
        announceChanges();
    }
}

bool TerminalDisplay::event(QEvent* event) {
    // Ctrl+letter goes to the target, not to a shortcut of the window, while typing here.
    if (event->type() == QEvent::ShortcutOverride &&
        isControlLetter(*static_cast<QKeyEvent*>(event))) {
        event->accept();
        return true;
    }
    return QAbstractScrollArea::event(event);
}

void TerminalDisplay::keyPressEvent(QKeyEvent* event) {
    const QByteArray bytes = bytesForKey(*event);
    if (bytes.isEmpty()) {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    event->accept();
    emit keyBytes(bytes);
}

void TerminalDisplay::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void TerminalDisplay::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

void TerminalDisplay::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        updateMetrics();
        updateScrollBars();
        viewport()->update();
    }
}

void TerminalDisplay::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(tr("Copy All"), this,
                   [this] { QGuiApplication::clipboard()->setText(allLines().join(u'\n')); });
    menu.exec(event->globalPos());
}
