// Treats the input as a settings file, writes a value under names taken from it, and checks that
// the write changes the addressed value and nothing else.

#include "foundation/IniFile.h"
#include "foundation/RunTimeError.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <bit>
#include <cmath>

using namespace Qt::StringLiterals;

static void check(bool condition, const char* invariant) {
    if (!condition)
        qFatal("fuzz_inifile: %s", invariant);
}

// A name or value in the file: UTF-8 where it is valid, else Latin-1, without blanks around it.
static QString field(QByteArrayView bytes) {
    static const QRegularExpression blanks(u"\\A[ \\t]+|[ \\t]+\\z"_s);
    // Decoded as the reader decodes: a leading U+FEFF is part of the text, not a byte-order mark.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    return (bytes.isValidUtf8() ? QString(utf8(bytes)) : QString::fromLatin1(bytes)).remove(blanks);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const QTemporaryDir directory;
    static const QString path = directory.filePath(u"Corvid.ini"_s);
    const auto readFile = [] {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QByteArray original(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QFile file(path);
    const bool saved = file.open(QIODevice::WriteOnly) && file.write(original) == original.size();
    check(saved && file.flush(), "cannot write the settings file");
    // A hash of the input picks a section line, a key line (else new names) and the key's spelling.
    const std::size_t hash = qHash(original);
    const QByteArrayList lines =
        original.sliced(original.startsWith("\xEF\xBB\xBF") ? 3 : 0).split('\n');
    const QByteArray head = lines[qsizetype(hash % std::size_t(lines.size()))].trimmed();
    const QByteArray line = lines[qsizetype((hash >> 16) % std::size_t(lines.size()))].trimmed();
    const qsizetype end = head.lastIndexOf(']'), equals = line.indexOf('=');
    const QString section = end > 0 && head[0] == '[' ? field(head.sliced(1, end - 1)) : u"New"_s;
    const QString name = equals > 0 ? field(line.first(equals)) : u"Key"_s;
    const QString key = hash >> 32 & 1 ? name.toUpper() : u" \t"_s + name + u' ';
    const QString text = equals > 0 ? field(line.sliced(equals + 1)) : u" 'quoted' "_s;
    IniFile ini;
    ini.setFileName(path);
    ini.setSection(section);
    ini.setKey(key);
    // Reading a small regular file never throws (an exception ends the run), nor gives a line feed.
    check(!ini.value().contains(u'\n'), "a value holds a line feed");
    const bool isNumber = hash >> 35 & 1;
    const auto number = std::bit_cast<float>(quint32(hash >> 8));
    const auto write = [&] { isNumber ? ini.setValue(number) : ini.setValue(text); };
    static const QRegularExpression lineBreak(u"[\\r\\n\\x{0}]"_s), badKey(u"=|\\A[ \\t]*[;[]"_s);
    const bool storable = !field(section.toUtf8()).isEmpty() && !section.contains(lineBreak) &&
                          !field(key.toUtf8()).isEmpty() && !key.contains(lineBreak) &&
                          !key.contains(badKey) && (isNumber || !text.contains(lineBreak));
    try {
        write();
    } catch (const RunTimeError& error) {
        check(!storable && error.number() == 380 && readFile() == original,
              "a storable write was refused, or not with 380, or it changed the file");
        return 0;
    }
    check(storable, "an unstorable name or value was written");
    // The value reads back as the profile rules read it: blanks and one pair of quotes dropped.
    static const QRegularExpression quoted(u"\\A([\"'])([\\s\\S]*)\\1\\z"_s);
    const QString stored = ini.value();
    check(!stored.contains(u'\n') &&
              (isNumber
                   ? std::isnan(number) ? std::isnan(stored.toFloat()) : stored.toFloat() == number
                   : stored == field(text.toUtf8()).replace(quoted, u"\\2"_s)),
          "the value does not read back");

    // Bytes were inserted, or the one line holding the key changed and kept its line ending.
    const QByteArray written = readFile();
    qsizetype prefix = 0;
    while (prefix < original.size() && prefix < written.size() &&
           original[prefix] == written[prefix])
        ++prefix;
    const qsizetype begin = original.first(prefix).lastIndexOf('\n') + 1;
    const QByteArray was = original.sliced(begin).split('\n').first();
    const QByteArray now = written.sliced(begin).split('\n').first();
    check(written.endsWith(original.sliced(prefix)) ||
              (written == original.first(begin) + now + original.sliced(begin + was.size()) &&
               was.endsWith('\r') == now.endsWith('\r') &&
               field(was.first(std::max(was.indexOf('='), qsizetype(0))))
                       .compare(field(key.toUtf8()), Qt::CaseInsensitive) == 0),
          "a line other than the key's changed, or its line ending");
    write();
    check(readFile() == written, "writing the same value twice changed the file");
    return 0;
}
