// Treats the input as a settings file, reads and writes names taken from it, and checks that a
// write changes the addressed value and nothing else.

#include "foundation/IniFile.h"
#include "foundation/RunTimeError.h"

#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr QByteArrayView Bom("\xEF\xBB\xBF");
QString g_path;
QString g_section; // the entry written, for the failure message
QString g_key;

void check(bool condition, const char* what) {
    if (condition)
        return;
    std::fprintf(stderr, "fuzz_inifile: %s (section \"%s\", key \"%s\")\n", what,
                 qPrintable(g_section), qPrintable(g_key));
    std::abort();
}

// Blanks and tabs dropped at both ends, of a name (QString) or of file bytes (QByteArrayView).
template <typename Text>
Text trimmed(Text text) {
    while (!text.isEmpty() && (text.front() == u' ' || text.front() == u'\t'))
        text = text.sliced(1);
    while (!text.isEmpty() && (text.back() == u' ' || text.back() == u'\t'))
        text.chop(1);
    return text;
}

bool sameName(const QString& a, const QString& b) {
    return trimmed(a).compare(trimmed(b), Qt::CaseInsensitive) == 0;
}

// Names and values in the file are UTF-8 where they are valid UTF-8, Latin-1 otherwise.
QString decoded(QByteArrayView bytes) {
    return bytes.isValidUtf8() ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
}

QByteArrayView withoutCarriageReturns(QByteArrayView line) {
    while (line.endsWith('\r'))
        line.chop(1);
    return line;
}

// What the profile rules read back: blanks around it and one pair of matching quotes dropped.
QString readBack(const QString& stored) {
    const QString text = trimmed(stored);
    const bool quoted = text.size() >= 2 && (text.front() == u'"' || text.front() == u'\'') &&
                        text.back() == text.front();
    return quoted ? text.sliced(1, text.size() - 2) : text;
}

bool breaksLines(const QString& text) {
    return text.contains(u'\r') || text.contains(u'\n') || text.contains(QChar(0));
}

// Section names, key names and values as they stand in the file (at most 8 each, whether
// readable or not), then a fixed new one of each.
void candidatesIn(QByteArrayView data, QStringList& sections, QStringList& keys,
                  QStringList& values) {
    for (QByteArrayView rest = data.startsWith(Bom) ? data.sliced(Bom.size()) : data;
         !rest.isEmpty();) {
        const qsizetype newline = rest.indexOf('\n');
        const QByteArrayView content =
            trimmed(withoutCarriageReturns(newline < 0 ? rest : rest.first(newline)));
        rest = newline < 0 ? QByteArrayView() : rest.sliced(newline + 1);
        const qsizetype close = content.lastIndexOf(']');
        const qsizetype equals = content.indexOf('=');
        if (content.startsWith('[') && close > 0) {
            if (sections.size() < 8)
                sections.append(decoded(content.sliced(1, close - 1)));
        } else if (equals > 0) {
            if (keys.size() < 8)
                keys.append(decoded(content.first(equals)));
            if (values.size() < 8)
                values.append(decoded(content.sliced(equals + 1)));
        }
    }
    sections.append(QStringLiteral("Corvid Fuzz"));
    keys.append(QStringLiteral("Fuzz Key"));
    values.append(QStringLiteral(" \"quoted value\" "));
}

// A name as given, in upper case, or with blanks around it: all address the same entry.
QString spelling(const QString& name, unsigned choice) {
    if (choice % 4 == 1)
        return name.toUpper();
    return choice % 4 == 2 ? QStringLiteral(" \t") + name + QStringLiteral(" ") : name;
}

QByteArray readFile() {
    QFile file(g_path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

IniFile entry(const QString& section, const QString& key) {
    IniFile ini;
    ini.setFileName(g_path);
    ini.setSection(section);
    ini.setKey(key);
    return ini;
}

QString valueOf(const QString& section, const QString& key) {
    QString value;
    try {
        value = entry(section, key).value();
    } catch (const RunTimeError&) {
        check(false, "value() threw for a small regular file");
    }
    check(!value.contains(u'\n'), "value() holds a line feed");
    return value;
}

// After differs from before by one edit: new lines inserted between two lines (or at the end),
// or a change inside the one line that holds the addressed key, which keeps its line ending.
void checkOnlyKeyLineChanged(const QByteArray& before, const QByteArray& after) {
    check(before.startsWith(Bom) == after.startsWith(Bom), "the byte order mark changed");
    const qsizetype common = std::min(before.size(), after.size());
    qsizetype prefix = 0;
    while (prefix < common && before[prefix] == after[prefix])
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < common - prefix && before.rbegin()[suffix] == after.rbegin()[suffix])
        ++suffix;
    const QByteArrayView removed = QByteArrayView(before).sliced(prefix).chopped(suffix);
    if (removed.isEmpty())
        return; // every original byte, and so every original line, is still there in order
    check(!removed.contains('\n'), "more than one line of the file changed");
    const auto lineAt = [](QByteArrayView text, qsizetype begin) {
        const qsizetype end = text.indexOf('\n', begin);
        return text.sliced(begin, (end < 0 ? text.size() : end) - begin);
    };
    const qsizetype lineBegin = prefix == 0 ? 0 : before.lastIndexOf('\n', prefix - 1) + 1;
    const QByteArrayView oldLine = lineAt(before, lineBegin);
    const QByteArrayView oldText = withoutCarriageReturns(oldLine);
    const QByteArrayView newLine = lineAt(after, lineBegin);
    const qsizetype equals = oldText.indexOf('=');
    check(equals > 0 && sameName(decoded(trimmed(oldText.first(equals))), g_key),
          "a line other than the key's line changed");
    check(oldLine.size() - oldText.size() ==
              newLine.size() - withoutCarriageReturns(newLine).size(),
          "the key line's ending changed");
}

void checkLineEndings(const QByteArray& before, const QByteArray& after) {
    const qsizetype firstNewline = before.indexOf('\n');
    const auto bareLineFeeds = [](const QByteArray& data) {
        return data.count('\n') - data.count("\r\n");
    };
    if (firstNewline > 0 && before[firstNewline - 1] == '\r')
        check(bareLineFeeds(after) == bareLineFeeds(before), "a CRLF file got a bare LF");
    else if (firstNewline >= 0) // a last line ending in a lone CR meets the added LF
        check(after.count("\r\n") - before.count("\r\n") <= (before.endsWith('\r') ? 1 : 0),
              "an LF file got a CRLF");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Never destroyed: libFuzzer leaves by exit(), and TMPDIR points into the build tree.
    static QTemporaryDir* const directory = new QTemporaryDir();
    g_path = directory->filePath(QStringLiteral("Corvid.ini"));
    check(directory->isValid(), "no temporary directory");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray original(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    {
        QFile file(g_path);
        check(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                  file.write(original) == original.size(),
              "cannot write the settings file");
    }
    QStringList sections, keys, values;
    candidatesIn(original, sections, keys, values);
    std::uint64_t hash = 14695981039346656037ULL; // FNV-1a picks the names and the value
    for (std::size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 1099511628211ULL;
    const auto pick = [&](const QStringList& list, int shift) {
        return list[static_cast<qsizetype>((hash >> shift) % std::uint64_t(list.size()))];
    };
    g_section = spelling(pick(sections, 0), unsigned(hash >> 40));
    g_key = spelling(pick(keys, 8), unsigned(hash >> 44));

    // Other entries and their values, to compare after the write.
    QList<std::tuple<QString, QString, QString>> others;
    for (qsizetype i = 0; i < std::max(sections.size(), keys.size()); ++i) {
        const QString& section = sections[i % sections.size()];
        const QString& key = keys[(i + qsizetype(hash % 3)) % keys.size()];
        if (!(sameName(section, g_section) && sameName(key, g_key)))
            others.append({section, key, valueOf(section, key)});
    }
    valueOf(g_section, g_key);

    IniFile ini = entry(g_section, g_key);
    const unsigned kind = unsigned(hash >> 16) % 4; // text, text, 16-bit integer, float
    const QString text = pick(values, 24);
    const auto whole = static_cast<qint16>(hash >> 32);
    const auto bits = static_cast<std::uint32_t>(hash >> 24);
    float number = 0;
    std::memcpy(&number, &bits, sizeof number);
    const auto write = [&] {
        if (kind == 2)
            ini.setValue(whole);
        else if (kind == 3)
            ini.setValue(number);
        else
            ini.setValue(text);
    };
    const QString keyName = trimmed(g_key);
    const bool storable = !trimmed(g_section).isEmpty() && !breaksLines(g_section) &&
                          !keyName.isEmpty() && !breaksLines(keyName) && !keyName.contains(u'=') &&
                          !keyName.startsWith(u';') && !keyName.startsWith(u'[') &&
                          (kind >= 2 || !breaksLines(text));
    try {
        write();
    } catch (const RunTimeError& error) {
        check(!storable, "a storable value was refused");
        check(error.number() == ErrorNumber::InvalidPropertyValue,
              "refused with an unexpected error number");
        check(readFile() == original, "a refused write changed the file");
        return 0;
    }
    check(storable, "an unstorable name or value was written");

    const QString stored = valueOf(g_section, g_key);
    if (kind == 3) {
        const float readNumber = stored.toFloat();
        check(std::isnan(number) ? std::isnan(readNumber) : readNumber == number,
              "the number does not read back");
    } else {
        const QString expected = kind == 2 ? QString::number(whole) : readBack(text);
        check(stored == expected, "the value does not read back");
    }
    for (const auto& [section, key, value] : std::as_const(others))
        check(valueOf(section, key) == value, "the write changed another entry");

    const QByteArray written = readFile();
    checkOnlyKeyLineChanged(original, written);
    checkLineEndings(original, written);

    // Writing the same value again finds the key and leaves the file as it is.
    write();
    check(readFile() == written, "writing the same value twice changed the file");
    return 0;
}
