// Treats the input as a settings file, reads and writes names taken from it, and checks that a
// write changes the addressed value and nothing else.

#include "foundation/IniFile.h"
#include "foundation/RunTimeError.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr qsizetype MaxCandidates = 8;
constexpr QByteArrayView Bom("\xEF\xBB\xBF");

QString g_path;

[[noreturn]] void fail(const char* what, const QString& section, const QString& key) {
    std::fprintf(stderr, "fuzz_inifile: %s (section \"%s\", key \"%s\")\n", what,
                 section.toUtf8().constData(), key.toUtf8().constData());
    std::abort();
}

void check(bool condition, const char* what, const QString& section, const QString& key) {
    if (!condition)
        fail(what, section, key);
}

bool isBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

QString trimmedName(const QString& name) {
    qsizetype begin = 0;
    qsizetype end = name.size();
    while (begin < end && isBlank(name[begin].unicode()))
        ++begin;
    while (end > begin && isBlank(name[end - 1].unicode()))
        --end;
    return name.sliced(begin, end - begin);
}

bool sameName(const QString& a, const QString& b) {
    return trimmedName(a).compare(trimmedName(b), Qt::CaseInsensitive) == 0;
}

// Names and values in the file are UTF-8 where they are valid UTF-8, Latin-1 otherwise.
QString decoded(QByteArrayView bytes) {
    return bytes.isValidUtf8() ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
}

QByteArrayView trimmedBytes(QByteArrayView bytes) {
    while (!bytes.isEmpty() && (bytes.front() == ' ' || bytes.front() == '\t'))
        bytes = bytes.sliced(1);
    while (!bytes.isEmpty() && (bytes.back() == ' ' || bytes.back() == '\t'))
        bytes.chop(1);
    return bytes;
}

QByteArrayView withoutCarriageReturns(QByteArrayView line) {
    while (!line.isEmpty() && line.back() == '\r')
        line.chop(1);
    return line;
}

// What the profile rules read back for a stored value: blanks around it and one pair of
// matching quotes are dropped.
QString readBack(const QString& stored) {
    const QString text = trimmedName(stored);
    if (text.size() >= 2 && (text.front() == u'"' || text.front() == u'\'') &&
        text.back() == text.front())
        return text.sliced(1, text.size() - 2);
    return text;
}

bool breaksLines(const QString& text) {
    return text.contains(u'\r') || text.contains(u'\n') || text.contains(QChar(0));
}

bool isStorableSection(const QString& section) {
    return !trimmedName(section).isEmpty() && !breaksLines(section);
}

bool isStorableKey(const QString& key) {
    const QString name = trimmedName(key);
    return !name.isEmpty() && !breaksLines(name) && !name.contains(u'=') &&
           !name.startsWith(u';') && !name.startsWith(u'[');
}

struct Candidates {
    QList<QString> sections;
    QList<QString> keys;
    QList<QString> values;
};

// Section names, key names and values as they stand in the file, whether readable or not.
Candidates candidatesIn(QByteArrayView data) {
    Candidates found;
    if (data.startsWith(Bom))
        data = data.sliced(Bom.size());
    for (QByteArrayView rest = data; !rest.isEmpty();) {
        const qsizetype newline = rest.indexOf('\n');
        const QByteArrayView line = newline < 0 ? rest : rest.first(newline);
        rest = newline < 0 ? QByteArrayView() : rest.sliced(newline + 1);
        const QByteArrayView content = trimmedBytes(withoutCarriageReturns(line));
        const qsizetype close = content.lastIndexOf(']');
        const qsizetype equals = content.indexOf('=');
        if (content.startsWith('[') && close > 0) {
            if (found.sections.size() < MaxCandidates)
                found.sections.append(decoded(content.sliced(1, close - 1)));
        } else if (equals > 0) {
            if (found.keys.size() < MaxCandidates)
                found.keys.append(decoded(content.first(equals)));
            if (found.values.size() < MaxCandidates)
                found.values.append(decoded(content.sliced(equals + 1)));
        }
    }
    found.sections.append(QStringLiteral("Corvid Fuzz"));
    found.keys.append(QStringLiteral("Fuzz Key"));
    found.values.append(QStringLiteral(" \"quoted value\" "));
    return found;
}

std::uint64_t hashOf(const std::uint8_t* data, std::size_t size) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (std::size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 1099511628211ULL;
    return hash;
}

// A name as given, in upper case, or with blanks around it: all address the same entry.
QString spelling(const QString& name, unsigned choice) {
    switch (choice % 4) {
    case 1:
        return name.toUpper();
    case 2:
        return QStringLiteral(" \t") + name + QStringLiteral(" ");
    default:
        return name;
    }
}

void writeFile(const QByteArray& bytes) {
    QFile file(g_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "fuzz_inifile: cannot write %s\n", qPrintable(g_path));
        std::abort();
    }
}

QByteArray readFile() {
    QFile file(g_path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString valueOf(const QString& section, const QString& key) {
    IniFile ini;
    ini.setFileName(g_path);
    ini.setSection(section);
    ini.setKey(key);
    try {
        const QString value = ini.value();
        check(!value.contains(u'\n'), "value() holds a line feed", section, key);
        return value;
    } catch (const RunTimeError&) {
        fail("value() threw for a small regular file", section, key);
    }
}

qsizetype bareLineFeeds(const QByteArray& data) {
    return data.count('\n') - data.count("\r\n");
}

// Checks that after differs from before by one edit: either new lines inserted between two
// lines (or at the end), or a change inside the one line that holds the addressed key.
void checkOnlyKeyLineChanged(const QByteArray& before, const QByteArray& after,
                             const QString& section, const QString& key) {
    check(before.startsWith(Bom) == after.startsWith(Bom), "the byte order mark changed", section,
          key);
    qsizetype prefix = 0;
    const qsizetype common = std::min(before.size(), after.size());
    while (prefix < common && before[prefix] == after[prefix])
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < common - prefix &&
           before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    const QByteArrayView removed =
        QByteArrayView(before).sliced(prefix, before.size() - prefix - suffix);
    if (removed.isEmpty())
        return; // every original byte, and so every original line, is still there in order
    check(!removed.contains('\n'), "more than one line of the file changed", section, key);

    // The one changed line must be the key's line, and keep its line ending.
    const qsizetype lineBegin = prefix == 0 ? 0 : before.lastIndexOf('\n', prefix - 1) + 1;
    const qsizetype newline = before.indexOf('\n', prefix);
    const qsizetype lineEnd = newline < 0 ? before.size() : newline;
    const QByteArrayView oldLine = QByteArrayView(before).sliced(lineBegin, lineEnd - lineBegin);
    const QByteArrayView oldText = withoutCarriageReturns(oldLine);
    const qsizetype equals = oldText.indexOf('=');
    check(equals > 0 && sameName(decoded(trimmedBytes(oldText.first(equals))), key),
          "a line other than the key's line changed", section, key);
    const qsizetype newEnd = after.indexOf('\n', lineBegin);
    const QByteArrayView newLine =
        QByteArrayView(after).sliced(lineBegin, (newEnd < 0 ? after.size() : newEnd) - lineBegin);
    check(oldLine.size() - oldText.size() ==
              newLine.size() - withoutCarriageReturns(newLine).size(),
          "the key line's ending changed", section, key);
}

void checkLineEndings(const QByteArray& before, const QByteArray& after, const QString& section,
                      const QString& key) {
    const qsizetype firstNewline = before.indexOf('\n');
    if (firstNewline > 0 && before[firstNewline - 1] == '\r') {
        check(bareLineFeeds(after) == bareLineFeeds(before), "a CRLF file got a bare LF", section,
              key);
    } else if (firstNewline >= 0) {
        // A last line ending in a lone CR meets the added LF.
        const qsizetype allowed = before.endsWith('\r') ? 1 : 0;
        check(after.count("\r\n") - before.count("\r\n") <= allowed, "an LF file got a CRLF",
              section, key);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Never destroyed: libFuzzer leaves by exit(), and TMPDIR points into the build tree.
    static QTemporaryDir* const directory = new QTemporaryDir();
    if (!directory->isValid()) {
        std::fprintf(stderr, "fuzz_inifile: no temporary directory\n");
        std::abort();
    }
    g_path = directory->filePath(QStringLiteral("Corvid.ini"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray original(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    writeFile(original);

    const Candidates names = candidatesIn(original);
    const std::uint64_t hash = hashOf(data, size);
    const auto pick = [&](const QList<QString>& list, int shift) {
        return list[static_cast<qsizetype>((hash >> shift) % std::uint64_t(list.size()))];
    };
    const QString section = spelling(pick(names.sections, 0), unsigned(hash >> 40));
    const QString key = spelling(pick(names.keys, 8), unsigned(hash >> 44));

    // Values of other entries, to compare after the write.
    QList<std::pair<QString, QString>> others;
    const qsizetype pairs = std::max(names.sections.size(), names.keys.size());
    for (qsizetype i = 0; i < pairs; ++i) {
        const QString& otherSection = names.sections[i % names.sections.size()];
        const QString& otherKey = names.keys[(i + qsizetype(hash % 3)) % names.keys.size()];
        if (!(sameName(otherSection, section) && sameName(otherKey, key)))
            others.append({otherSection, otherKey});
    }
    QList<QString> othersBefore;
    for (const auto& [otherSection, otherKey] : std::as_const(others))
        othersBefore.append(valueOf(otherSection, otherKey));
    valueOf(section, key);

    IniFile ini;
    ini.setFileName(g_path);
    ini.setSection(section);
    ini.setKey(key);
    const unsigned kind = unsigned(hash >> 16) % 4;
    const QString text = pick(names.values, 24);
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
    const bool storable =
        isStorableSection(section) && isStorableKey(key) && (kind >= 2 || !breaksLines(text));
    try {
        write();
    } catch (const RunTimeError& error) {
        check(!storable, "a storable value was refused", section, key);
        check(error.number() == ErrorNumber::InvalidPropertyValue,
              "refused with an unexpected error number", section, key);
        check(readFile() == original, "a refused write changed the file", section, key);
        return 0;
    }
    check(storable, "an unstorable name or value was written", section, key);

    const QString stored = valueOf(section, key);
    if (kind == 3) {
        const float readNumber = stored.toFloat();
        check(std::isnan(number) ? std::isnan(readNumber) : readNumber == number,
              "the number does not read back", section, key);
    } else {
        const QString expected = kind == 2 ? QString::number(whole) : readBack(text);
        if (stored != expected) {
            std::fprintf(stderr, "fuzz_inifile: read \"%s\", expected \"%s\" (percent-encoded)\n",
                         stored.toUtf8().toPercentEncoding(" =").constData(),
                         expected.toUtf8().toPercentEncoding(" =").constData());
            fail("the value does not read back", section, key);
        }
    }
    for (qsizetype i = 0; i < others.size(); ++i)
        check(valueOf(others[i].first, others[i].second) == othersBefore[i],
              "the write changed another entry", section, key);

    const QByteArray written = readFile();
    checkOnlyKeyLineChanged(original, written, section, key);
    checkLineEndings(original, written, section, key);

    // Writing the same value again finds the key and leaves the file as it is.
    write();
    check(readFile() == written, "writing the same value twice changed the file", section, key);
    return 0;
}
