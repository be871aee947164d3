#pragma once

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <deque>

class QPainter;

// Shows bytes from the serial line as a PC text terminal does: code page 437 glyphs, the usual
// control characters and ANSI escape sequences.
class TerminalDisplay : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr int Columns = 80;
    static constexpr int Rows = 25;
    static constexpr int DefaultScrollbackLines = 500;

    explicit TerminalDisplay(QWidget* parent = nullptr);

    // Bytes from the line, or escape text such as "\x1b[2J".
    void write(const QByteArray& bytes);

    // Lines kept above the screen; 0 discards the scrollback at once.
    void setScrollbackLines(int lines);
    int scrollbackLines() const { return m_scrollbackLimit; }

    int columns() const { return Columns; }
    int rows() const { return Rows; }

    // The screen rows without trailing blanks and trailing empty rows, joined with '\n'.
    QString screenText() const;
    // The scrollback and then the screen rows, trimmed as screenText() does.
    QStringList allLines() const;
    // Column and row on the screen, 0-based.
    QPoint cursorPosition() const { return {m_cursorColumn, m_cursorRow}; }

    // What the view shows, for assistive technology: the rows in view without trailing blanks
    // (the cursor's row reaches at least to the cursor), joined with '\n'.
    QString visibleText() const;
    // The cursor's offset in visibleText(), or -1 while its row is scrolled out of view.
    int visibleCursorOffset() const;
    // The cell of an offset in visibleText(), in viewport coordinates, and the reverse.
    QRect visibleCharacterRect(int offset) const;
    int visibleOffsetAt(QPoint viewportPoint) const;

signals:
    // What a key typed into the display puts on the line.
    void keyBytes(const QByteArray& bytes);

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    QSize viewportSizeHint() const override;

private:
    // One character position: its glyph and its colours.
    struct Cell {
        char16_t glyph;
        std::uint8_t attributes;
        bool operator==(const Cell&) const = default;
    };
    using Row = std::array<Cell, Columns>;

    enum class ParserState { Ground, Escape, Csi, CsiIntermediate, CsiIgnore };

    void processByte(quint8 byte);
    void processControl(quint8 byte);
    void processCsiByte(quint8 byte);
    void executeCsi(char finalByte);
    void selectGraphicRendition(const int* parameters, int count);
    void print(char16_t glyph);
    void lineFeed();
    void eraseCells(int row, int fromColumn, int toColumn);
    void setCursor(int column, int row);

    Row& screenRow(int row);
    const Row& screenRow(int row) const;
    int scrollbackCount() const;
    int shownScreenRows() const;
    int contentRows() const;
    void refreshLastUsedRow();
    void updateMetrics();
    void updateScrollBars();
    void paintRow(QPainter& painter, const Row& row, int y, int xOffset) const;
    static QString rowText(const Row& row);
    QStringList visibleRows() const;
    // Tells assistive technology what changed in visibleText() and where the cursor went.
    void announceChanges();
    Cell blankCell() const;

    // Scrollback followed by the Rows screen rows.
    std::deque<Row> m_lines;
    int m_scrollbackLimit = DefaultScrollbackLines;

    int m_cursorColumn = 0;
    int m_cursorRow = 0;
    // Set after a glyph lands in the last column: the next glyph wraps, a control does not.
    bool m_wrapPending = false;
    QPoint m_savedCursor;
    std::uint8_t m_attributes;

    // Bottom-most screen row showing anything; recomputed after an erase makes it unreliable.
    int m_lastUsedRow = -1;
    bool m_lastUsedRowStale = false;

    ParserState m_state = ParserState::Ground;
    QByteArray m_sequence;

    // Scrollback lines dropped during the current write(), to keep a scrolled-up view in place.
    int m_droppedLines = 0;
    // Inside write(), whose one viewport update also covers the scroll-bar changes.
    bool m_writing = false;
    int m_cellWidth = 1;
    int m_cellHeight = 1;
    int m_ascent = 0;

    // What assistive technology was last told.
    QString m_announcedText;
    int m_announcedCursor = -1;
};
