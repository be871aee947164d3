#include "foundation/IniFile.h"

#include "foundation/RunTimeError.h"

#include <QByteArrayView>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>
#include <QStringDecoder>

#include <cerrno>
#include <cmath>
#include <optional>

namespace {

constexpr QByteArrayView utf8Bom("\xEF\xBB\xBF");

#ifdef Q_OS_WIN
constexpr QByteArrayView defaultLineEnding("\r\n");
#else
constexpr QByteArrayView defaultLineEnding("\n");
#endif

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

QByteArrayView trimmed(QByteArrayView bytes) {
    while (!bytes.isEmpty() && isBlank(bytes.front()))
        bytes = bytes.sliced(1);
    while (!bytes.isEmpty() && isBlank(bytes.back()))
        bytes.chop(1);
    return bytes;
}

// Only blanks and tabs count, as for the names stored in the file.
QString trimmed(const QString& text) {
    const auto isBlankChar = [](QChar c) { return c == u' ' || c == u'\t'; };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlankChar(text[begin]))
        ++begin;
    while (end > begin && isBlankChar(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

QByteArrayView unquoted(QByteArrayView value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.sliced(1, value.size() - 2);
    return value;
}

QString decoded(QByteArrayView bytes) {
    if (!bytes.isValidUtf8())
        return QString::fromLatin1(bytes);
    // fromUtf8() would drop a leading U+FEFF, which here belongs to the name or value.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    return utf8(bytes);
}

bool sameName(QByteArrayView stored, const QString& wanted) {
    return decoded(stored).compare(wanted, Qt::CaseInsensitive) == 0;
}

// One line of the file as offsets into its bytes; the ending after the text is kept as it is.
struct Line {
    qsizetype begin;
    qsizetype textEnd;
    qsizetype end;
};

qsizetype contentStart(const QByteArray& data) {
    return data.startsWith(utf8Bom) ? utf8Bom.size() : 0;
}

QList<Line> splitLines(const QByteArray& data) {
    QList<Line> lines;
    qsizetype begin = contentStart(data);
    while (begin < data.size()) {
        const qsizetype newline = data.indexOf('\n', begin);
        const qsizetype end = newline < 0 ? data.size() : newline + 1;
        qsizetype textEnd = newline < 0 ? data.size() : newline;
        while (textEnd > begin && data[textEnd - 1] == '\r')
            --textEnd;
        lines.append({begin, textEnd, end});
        begin = end;
    }
    return lines;
}

QByteArrayView lineText(const QByteArray& data, const Line& line) {
    return QByteArrayView(data).sliced(line.begin, line.textEnd - line.begin);
}

// What one line holds: a section header, a key with its value, or nothing readable.
struct Entry {
    enum class Kind { Other, Section, Key };
    Kind kind = Kind::Other;
    QByteArrayView name;
    QByteArrayView value;
};

Entry parse(QByteArrayView text) {
    const QByteArrayView content = trimmed(text);
    if (content.isEmpty() || content.front() == ';')
        return {};
    if (content.front() == '[') {
        const qsizetype close = content.lastIndexOf(']');
        if (close > 0)
            return {Entry::Kind::Section, trimmed(content.sliced(1, close - 1)), {}};
    }
    const qsizetype equals = content.indexOf('=');
    if (equals <= 0)
        return {};
    return {Entry::Kind::Key, trimmed(content.first(equals)),
            unquoted(trimmed(content.sliced(equals + 1)))};
}

// Where the first matching section and its first matching key stand; -1 when missing.
struct Location {
    qsizetype section = -1;
    qsizetype key = -1;
    qsizetype lastNonBlank = -1;
};

Location locate(const QByteArray& data, const QList<Line>& lines, const QString& section,
                const QString& key) {
    Location where;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArrayView text = lineText(data, lines[i]);
        const Entry entry = parse(text);
        if (entry.kind == Entry::Kind::Section) {
            if (where.section >= 0)
                break;
            if (sameName(entry.name, section))
                where.section = where.lastNonBlank = i;
            continue;
        }
        if (where.section < 0)
            continue;
        if (!trimmed(text).isEmpty())
            where.lastNonBlank = i;
        if (entry.kind == Entry::Kind::Key && sameName(entry.name, key)) {
            where.key = i;
            break;
        }
    }
    return where;
}

QByteArray lineEnding(const QByteArray& data) {
    const qsizetype newline = data.indexOf('\n');
    if (newline < 0)
        return defaultLineEnding.toByteArray();
    return newline > 0 && data[newline - 1] == '\r' ? QByteArrayLiteral("\r\n")
                                                    : QByteArrayLiteral("\n");
}

QByteArray withValue(QByteArray data, const QString& section, const QString& key,
                     const QByteArray& value) {
    const QList<Line> lines = splitLines(data);
    const Location where = locate(data, lines, section, key);
    if (where.key >= 0) {
        const Line& line = lines[where.key];
        const QByteArray text = parse(lineText(data, line)).name.toByteArray() + '=' + value;
        return data.replace(line.begin, line.textEnd - line.begin, text);
    }
    const QByteArray eol = lineEnding(data);
    QByteArray added = key.toUtf8() + '=' + value + eol;
    qsizetype position = data.size();
    if (where.section >= 0)
        position = lines[where.lastNonBlank].end;
    else
        added.prepend('[' + section.toUtf8() + ']' + eol);
    if (position > contentStart(data) && data[position - 1] != '\n')
        added.prepend(eol);
    return data.insert(position, added);
}

QString displayName(const QString& path) {
    return QDir::toNativeSeparators(path);
}

// On Unix errno still holds the cause right after a failed QFile call; the Qt error code is the
// fallback where it does not.
RunTimeError fileError(const QFileDevice& file, int savedErrno, const QString& context) {
    if (savedErrno != 0)
        return RunTimeError::fromErrno(savedErrno, context);
    int number = EIO;
    if (file.error() == QFileDevice::PermissionsError)
        number = EACCES;
    else if (file.error() == QFileDevice::ResourceError)
        number = ENOSPC;
    return RunTimeError(number, context + QStringLiteral(": ") + file.errorString());
}

// The file's bytes, or nothing when there is no file (a directory counts as none).
std::optional<QByteArray> readSettings(const QString& path) {
    const QString context =
        QStringLiteral("Cannot read the settings file %1").arg(displayName(path));
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists() || info.isDir())
        return std::nullopt;
    // Reading a FIFO or device could block for ever or never end.
    if (!info.isFile())
        throw RunTimeError(EINVAL, context + QStringLiteral(": Not a regular file"));
    if (info.size() > IniFile::MaximumFileSize)
        throw RunTimeError::fromErrno(EFBIG, context);
    QFile file(path);
    errno = 0;
    if (!file.open(QIODevice::ReadOnly))
        throw fileError(file, errno, context);
    errno = 0;
    // A buffer of the file's size, not of the limit, for the usual small file; one that grew
    // since the check is read on, up to one byte past the limit.
    QByteArray data = file.read(info.size() + 1);
    if (data.size() > info.size() && file.error() == QFileDevice::NoError)
        data += file.read(IniFile::MaximumFileSize + 1 - data.size());
    if (file.error() != QFileDevice::NoError)
        throw fileError(file, errno, context);
    if (data.size() > IniFile::MaximumFileSize)
        throw RunTimeError::fromErrno(EFBIG, context);
    return data;
}

bool breaksLines(const QString& text) {
    return text.contains(u'\r') || text.contains(u'\n') || text.contains(QChar(0));
}

RunTimeError refused(const QString& description) {
    return RunTimeError(ErrorNumber::InvalidPropertyValue, description);
}

QString checkedSection(const QString& raw) {
    const QString section = trimmed(raw);
    if (section.isEmpty())
        throw refused(QStringLiteral("The settings section name is empty"));
    if (breaksLines(section))
        throw refused(QStringLiteral("The settings section name contains a line break or NUL"));
    return section;
}

QString checkedKey(const QString& raw) {
    const QString key = trimmed(raw);
    if (key.isEmpty())
        throw refused(QStringLiteral("The settings key name is empty"));
    if (breaksLines(key))
        throw refused(QStringLiteral("The settings key name contains a line break or NUL"));
    // Such a key would be read back as another key, a comment or a section header.
    if (key.contains(u'=') || key.startsWith(u';') || key.startsWith(u'['))
        throw refused(QStringLiteral("The settings key name \"%1\" cannot be stored").arg(key));
    return key;
}

// The shortest text of up to 9 significant digits that reads back as the same float.
QString floatText(float number) {
    if (std::isfinite(number) && number == std::trunc(number))
        return QString::number(double(number), 'f', 0);
    for (int precision = 1; precision < 9; ++precision) {
        const QString text = QString::number(double(number), 'g', precision);
        if (text.toFloat() == number)
            return text;
    }
    return QString::number(double(number), 'g', 9);
}

} // namespace

QString IniFile::value() const {
    const QString section = trimmed(m_section);
    const QString key = trimmed(m_key);
    if (section.isEmpty() || key.isEmpty())
        return {};
    const std::optional<QByteArray> data = readSettings(m_fileName);
    if (!data)
        return {};
    const QList<Line> lines = splitLines(*data);
    const Location where = locate(*data, lines, section, key);
    if (where.key < 0)
        return {};
    return decoded(parse(lineText(*data, lines[where.key])).value);
}

void IniFile::setValue(const QString& text) {
    const QString section = checkedSection(m_section);
    const QString key = checkedKey(m_key);
    if (breaksLines(text))
        throw refused(
            QStringLiteral("The settings value for %1 contains a line break or NUL").arg(key));

    const QString context =
        QStringLiteral("Cannot write the settings file %1").arg(displayName(m_fileName));
    if (m_fileName.isEmpty())
        throw RunTimeError::fromErrno(ENOENT, context);
    const QFileInfo info(m_fileName);
    if (info.isDir())
        throw RunTimeError::fromErrno(EISDIR, context);
    // Root may write any file, so a file without write bits is refused here, not by the system.
    constexpr QFileDevice::Permissions anyWrite =
        QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    if (info.exists() && (!info.isWritable() || !(info.permissions() & anyWrite)))
        throw RunTimeError::fromErrno(EACCES, context);

    const QByteArray data =
        withValue(readSettings(m_fileName).value_or(QByteArray()), section, key, text.toUtf8());
    if (data.size() > MaximumFileSize)
        throw RunTimeError::fromErrno(EFBIG, context);

    QSaveFile file(m_fileName);
    // The file is replaced as a whole where the folder lets a new file be made beside it; where
    // only the file itself may be written, it is written in place, as the old program did.
    file.setDirectWriteFallback(true);
    errno = 0;
    if (!file.open(QIODevice::WriteOnly))
        throw fileError(file, errno, context);
    errno = 0;
    if (file.write(data) != data.size() || !file.commit())
        throw fileError(file, errno, context);
}

void IniFile::setValue(qint16 number) {
    setValue(QString::number(number));
}

void IniFile::setValue(float number) {
    setValue(floatText(number));
}
