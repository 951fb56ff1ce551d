// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/IniText.h"

#include <cstddef>
#include <utility>
#include <vector>

#include <QByteArray>
#include <QDataStream>
#include <QIODevice>
#include <QString>
#include <QStringDecoder>
#include <QStringList>
#include <QStringView>
#include <QVariant>

namespace tavmar::store::ini {

namespace {

constexpr std::size_t kNone = std::string_view::npos;

/// One line as QSettings splits a file: a quoted value, or a line break
/// escaped with a backslash, runs on over line breaks; a ';' outside quotes
/// ends the line, and a line that starts with one is a comment.
struct IniLine {
    std::size_t start = 0;
    std::size_t length = 0;
    std::size_t equals = kNone; // the first '=' outside quotes

    std::string_view In(std::string_view bytes) const { return bytes.substr(start, length); }
};

bool IsLineSpace(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r';
}

bool IsLineSpecial(char ch) {
    return ch == '\n' || ch == '\r' || ch == '"' || ch == ';' || ch == '=' || ch == '\\';
}

int HexValue(char ch) {
    if (ch >= '0' && ch <= '9') {
        return ch - '0';
    }
    if (ch >= 'a' && ch <= 'f') {
        return ch - 'a' + 10;
    }
    if (ch >= 'A' && ch <= 'F') {
        return ch - 'A' + 10;
    }
    return -1;
}

/// The next line at or after `pos`, moving `pos` past it; false at the end.
// The same steps as QSettings takes, so that both see the same lines and
// the same section headers in any file, damaged ones included.
bool NextLine(std::string_view bytes, std::size_t& pos, IniLine& line) {
    const std::size_t size = bytes.size();
    bool inQuotes = false;
    line.equals = kNone;
    std::size_t start = pos;
    while (start < size && IsLineSpace(bytes[start])) {
        ++start;
    }
    std::size_t i = start;
    while (i < size) {
        const char ch = bytes[i++];
        if (!IsLineSpecial(ch)) {
            continue;
        }
        if (ch == '=') {
            if (!inQuotes && line.equals == kNone) {
                line.equals = i - 1;
            }
        } else if (ch == '\n' || ch == '\r') {
            if (i == start + 1) {
                ++start;
            } else if (!inQuotes) {
                --i;
                break;
            }
        } else if (ch == '\\') {
            if (i < size) {
                const char escaped = bytes[i++];
                if (i < size && ((escaped == '\n' && bytes[i] == '\r') ||
                                 (escaped == '\r' && bytes[i] == '\n'))) {
                    ++i;
                }
            }
        } else if (ch == '"') {
            inQuotes = !inQuotes;
        } else if (i == start + 1) { // ';' opening a comment line
            while (i < size && bytes[i] != '\n' && bytes[i] != '\r') {
                ++i;
            }
            while (i < size && IsLineSpace(bytes[i])) {
                ++i;
            }
            start = i;
        } else if (!inQuotes) { // ';' after a value
            --i;
            break;
        }
    }
    pos = i;
    line.start = start;
    line.length = i - start;
    return line.length > 0;
}

std::string_view Trimmed(std::string_view text) {
    constexpr std::string_view kSpace = " \t\n\v\f\r";
    const std::size_t first = text.find_first_not_of(kSpace);
    if (first == kNone) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

QString FromUtf8(std::string_view bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

/// A key or section name as written: '\' stands for '/', "%XX" and "%UXXXX"
/// for the character with that hexadecimal code.
QString UnescapedName(std::string_view raw) {
    const QString decoded = FromUtf8(raw);
    QString result;
    qsizetype i = 0;
    while (i < decoded.size()) {
        const QChar ch = decoded.at(i);
        if (ch == u'\\') {
            result += u'/';
            ++i;
            continue;
        }
        if (ch != u'%' || i == decoded.size() - 1) {
            result += ch;
            ++i;
            continue;
        }
        const bool wide = decoded.at(i + 1) == u'U';
        const qsizetype first = i + (wide ? 2 : 1);
        const qsizetype digits = wide ? 4 : 2;
        bool ok = false;
        const ushort code = first + digits <= decoded.size()
                                ? QStringView(decoded).sliced(first, digits).toUShort(&ok, 16)
                                : 0;
        if (!ok) {
            result += u'%';
            ++i;
            continue;
        }
        result += QChar(code);
        i = first + digits;
    }
    return result;
}

void AppendEscapedName(const QString& name, std::string& out) {
    constexpr std::string_view kHex = "0123456789ABCDEF";
    for (const QChar qch : name) {
        const char16_t ch = qch.unicode();
        if (ch == u'/') {
            out += '\\';
        } else if ((ch >= u'a' && ch <= u'z') || (ch >= u'A' && ch <= u'Z') ||
                   (ch >= u'0' && ch <= u'9') || ch == u'_' || ch == u'-' || ch == u'.') {
            out += static_cast<char>(ch);
        } else if (ch <= 0xFF) {
            out += '%';
            out += kHex[ch / 16];
            out += kHex[ch % 16];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4) {
                out += kHex[(ch >> shift) & 0xF];
            }
        }
    }
}

/// The section a header line's name stands for, as QSettings names it: ""
/// for "[General]", else the name and a '/'.
QString SectionKey(std::string_view raw) {
    const QString name = FromUtf8(raw);
    if (name.compare(u"general", Qt::CaseInsensitive) == 0) {
        return {};
    }
    if (name.compare(u"%general", Qt::CaseInsensitive) == 0) {
        return name.sliced(1) + u'/';
    }
    return UnescapedName(raw) + u'/';
}

std::string SectionHeader(const QString& section) {
    std::string name;
    AppendEscapedName(section, name);
    if (name.empty()) {
        return "[General]";
    }
    if (QString::fromLatin1(name).compare(u"general", Qt::CaseInsensitive) == 0) {
        return "[%General]";
    }
    return "[" + name + "]";
}

/// `text` as a value: "@" doubled at the start and a NUL wrapped in
/// "@String(...)" (both as QSettings writes text), control characters,
/// quotes and backslashes escaped, and the whole in quotes where a ';', ','
/// or '=' or a blank at either end would otherwise change what is read.
void AppendEscapedText(const std::string& text, std::string& out) {
    std::string value = text;
    if (value.find('\0') != kNone) {
        value = "@String(" + value + ")";
    } else if (!value.empty() && value.front() == '@') {
        value.insert(0, 1, '@');
    }
    constexpr std::string_view kNamed = "\a\b\f\n\r\t\v\"\\";
    constexpr std::string_view kNames = "abfnrtv\"\\";
    const std::size_t begin = out.size();
    bool needsQuotes = false;
    bool escapeHexDigit = false; // after "\x1" or "\0", a digit would join the code
    for (const char ch : value) {
        needsQuotes = needsQuotes || ch == ';' || ch == ',' || ch == '=';
        const std::size_t named = kNamed.find(ch);
        if (ch == '\0') {
            out += "\\0";
            escapeHexDigit = true;
        } else if ((static_cast<unsigned char>(ch) <= 0x1F && named == kNone) ||
                   (escapeHexDigit && HexValue(ch) >= 0)) {
            out += "\\x" + QByteArray::number(static_cast<unsigned char>(ch), 16).toStdString();
            escapeHexDigit = true;
        } else {
            escapeHexDigit = false;
            if (named != kNone) {
                out += '\\';
                out += kNames[named];
            } else {
                out += ch;
            }
        }
    }
    // A tab is always written as "\t", which QSettings (6.4 and 6.8 alike)
    // and Find read back at either end; only a plain blank there needs quotes.
    if (needsQuotes || (out.size() > begin && (out[begin] == ' ' || out.back() == ' '))) {
        out.insert(begin, 1, '"');
        out += '"';
    }
}

/// A value as QSettings reads it: one text, or a list when it holds commas
/// outside quotes.
struct IniValue {
    QString text;
    QStringList list;
    bool isList = false;
};

void ChopBlanks(QString& text, qsizetype keep) {
    while (text.size() > keep && (text.back() == u' ' || text.back() == u'\t')) {
        text.chop(1);
    }
}

IniValue UnescapedValue(std::string_view raw) {
    constexpr std::string_view kEscaped = "abfnrtv\"?'\\";
    constexpr std::string_view kMeaning = "\a\b\f\n\r\t\v\"?'\\";
    IniValue value;
    QString& text = value.text;
    // One decoder for the whole value: only a mark at its very start is not text.
    QStringDecoder fromUtf8(QStringDecoder::Utf8);
    bool inQuotes = false;
    bool quoted = false; // the current element had quotes: its blanks stay
    bool chopEnd = true; // QSettings keeps end blanks after a dangling '\'
    qsizetype keep = 0;  // characters up to the last escape are never chopped
    std::size_t i = 0;
    const auto skipBlanks = [&] {
        while (i < raw.size() && (raw[i] == ' ' || raw[i] == '\t')) {
            ++i;
        }
        keep = text.size();
    };
    skipBlanks();
    while (i < raw.size()) {
        const char ch = raw[i];
        if (ch == '\\') {
            if (++i >= raw.size()) {
                chopEnd = false;
                break;
            }
            const char code = raw[i++];
            const int radix = code == 'x' ? 16 : (code >= '0' && code <= '7' ? 8 : 0);
            if (const std::size_t simple = kEscaped.find(code); simple != kNone) {
                text += QLatin1Char(kMeaning[simple]);
            } else if (radix == 16 && i >= raw.size()) {
                chopEnd = false;
                break;
            } else if (radix == 8 || (radix == 16 && HexValue(raw[i]) >= 0)) {
                char16_t number = radix == 8 ? static_cast<char16_t>(code - '0') : 0;
                for (int digit = 0;
                     i < raw.size() && (digit = HexValue(raw[i])) >= 0 && digit < radix; ++i) {
                    number = static_cast<char16_t>(number * radix + digit);
                }
                text += QChar(number);
            } else if ((code == '\n' || code == '\r') && i < raw.size() &&
                       (raw[i] == '\n' || raw[i] == '\r') && raw[i] != code) {
                ++i; // an escaped "\r\n" or "\n\r" is one line break
            }
            keep = text.size();
        } else if (ch == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes) {
                skipBlanks();
            }
        } else if (ch == ',' && !inQuotes) {
            if (!quoted) {
                ChopBlanks(text, keep);
            }
            value.isList = true;
            value.list.append(std::exchange(text, QString()));
            quoted = false;
            ++i;
            skipBlanks();
        } else {
            std::size_t end = i + 1;
            while (end < raw.size() && raw[end] != '\\' && raw[end] != '"' && raw[end] != ',') {
                ++end;
            }
            text += fromUtf8(QByteArrayView(raw.data() + i, static_cast<qsizetype>(end - i)));
            i = end;
        }
    }
    if (chopEnd && !quoted) {
        ChopBlanks(text, keep);
    }
    if (value.isList) {
        value.list.append(text);
    }
    return value;
}

std::optional<std::string> TextOfVariant(const QVariant& value) {
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(QStringLiteral(", ")).toStdString();
    }
    if (!value.isValid() || !value.canConvert<QString>()) {
        return std::nullopt;
    }
    return value.toString().toStdString();
}

/// What QSettings makes of one text read from the file, as text: its
/// "@Type(...)" forms decoded, "@@" standing for "@".
std::optional<std::string> TextOfString(const QString& text) {
    if (text.startsWith(u'@') && text.endsWith(u')')) {
        if (text.startsWith(u"@ByteArray(")) {
            return QString::fromUtf8(text.sliced(11).chopped(1).toLatin1()).toStdString();
        }
        if (text.startsWith(u"@String(")) {
            return text.sliced(8).chopped(1).toStdString();
        }
        if (text.startsWith(u"@Variant(") || text.startsWith(u"@DateTime(")) {
            const bool dateTime = text.at(1) == u'D';
            QByteArray bytes = text.sliced(dateTime ? 10 : 9).toLatin1();
            QDataStream stream(&bytes, QIODevice::ReadOnly);
            stream.setVersion(dateTime ? QDataStream::Qt_5_6 : QDataStream::Qt_4_0);
            QVariant value;
            stream >> value;
            return TextOfVariant(value);
        }
        const qsizetype arguments = text.count(u' ') + 1;
        if ((text.startsWith(u"@Rect(") && arguments == 4) ||
            ((text.startsWith(u"@Size(") || text.startsWith(u"@Point(")) && arguments == 2) ||
            text == u"@Invalid()") {
            return std::nullopt;
        }
    }
    if (text.startsWith(u"@@")) {
        return text.sliced(1).toStdString();
    }
    return text.toStdString();
}

std::optional<std::string> TextOf(const IniValue& value) {
    if (!value.isList) {
        return TextOfString(value.text);
    }
    QStringList texts;
    for (const QString& element : value.list) {
        if (element.startsWith(u'@') && !element.startsWith(u"@@")) {
            return std::nullopt; // a list of values that are not all text
        }
        texts.append(element.startsWith(u'@') ? element.sliced(1) : element);
    }
    return texts.join(QStringLiteral(", ")).toStdString();
}

/// A stretch of the file from one header line to the next: "[Name]" and
/// the lines under it. The first one, before any header, has none.
struct Section {
    QString key; // as SectionKey gives it
    std::size_t begin = 0;
    std::size_t body = 0; // just past the header line
    std::size_t end = 0;
};

std::vector<Section> Sections(std::string_view bytes) {
    std::vector<Section> sections{{QString(), 0, 0, bytes.size()}};
    std::size_t pos = 0;
    IniLine line;
    while (NextLine(bytes, pos, line)) {
        const std::string_view text = line.In(bytes);
        if (text.front() != '[') {
            continue;
        }
        sections.back().end = line.start;
        const std::size_t close = text.find(']');
        const std::string_view name = text.substr(1, close == kNone ? kNone : close - 1);
        sections.push_back({SectionKey(Trimmed(name)), line.start, pos, bytes.size()});
    }
    return sections;
}

/// Calls `use(key, value, line)` for each "key=value" line of a section's
/// body, in order.
template <typename Use> void ForEachEntry(std::string_view body, Use use) {
    std::size_t pos = 0;
    IniLine line;
    while (NextLine(body, pos, line)) {
        if (line.equals != kNone) {
            const std::string_view key = body.substr(line.start, line.equals - line.start);
            const std::string_view value =
                body.substr(line.equals + 1, line.start + line.length - line.equals - 1);
            use(UnescapedName(Trimmed(key)), value, line.In(body));
        }
    }
}

/// Whether the lines of `piece` run on to its very end (an open quote or a
/// dangling '\'), so that a header written after it would not be read as one.
bool RunsToTheEnd(std::string_view piece) {
    std::string probe(piece);
    probe += "\n[";
    std::size_t pos = 0;
    IniLine line;
    while (NextLine(probe, pos, line)) {
        if (line.start == probe.size() - 1) {
            return false;
        }
    }
    return true;
}

std::string_view WithoutByteOrderMark(std::string_view bytes) {
    constexpr std::string_view kMark = "\xEF\xBB\xBF";
    return bytes.substr(0, kMark.size()) == kMark ? bytes.substr(kMark.size()) : bytes;
}

} // namespace

std::optional<std::string> Find(std::string_view bytes, const std::string& section,
                                const std::string& key) {
    bytes = WithoutByteOrderMark(bytes);
    const QString sectionKey = QString::fromStdString(section) + u'/';
    const QString wanted = QString::fromStdString(key);
    std::optional<std::string_view> found;
    for (const Section& part : Sections(bytes)) {
        if (part.key != sectionKey) {
            continue;
        }
        ForEachEntry(bytes.substr(part.body, part.end - part.body),
                     [&](const QString& name, std::string_view value, std::string_view) {
                         if (name == wanted) {
                             found = value;
                         }
                     });
    }
    if (!found) {
        return std::nullopt;
    }
    return TextOf(UnescapedValue(*found));
}

std::string WithEntries(std::string_view bytes, const std::string& section,
                        const runtime::SettingsEntries& entries) {
    bytes = WithoutByteOrderMark(bytes);
    const QString sectionName = QString::fromStdString(section);
    const std::string header = SectionHeader(sectionName);
    QStringList written;
    std::string out = header + "\n";
    for (const auto& [key, text] : entries) {
        written.append(QString::fromStdString(key));
        AppendEscapedName(written.back(), out);
        out += '=';
        AppendEscapedText(text, out);
        out += '\n';
    }

    // A piece whose last line runs to its end can only go last: the file
    // holds at most one (the lines before a header always end).
    std::string last;
    const std::vector<Section> sections = Sections(bytes);
    for (const Section& part : sections) {
        if (part.key != sectionName + u'/') {
            continue;
        }
        ForEachEntry(bytes.substr(part.body, part.end - part.body),
                     [&](const QString& name, std::string_view, std::string_view line) {
                         if (written.contains(name)) {
                             return;
                         }
                         if (RunsToTheEnd(line)) {
                             last = header + "\n" + std::string(line);
                         } else {
                             out += line;
                             out += '\n';
                         }
                     });
    }

    const auto append = [&out](std::string_view piece) {
        if (out.back() != '\n') {
            out += '\n';
        }
        if (out.size() < 2 || out[out.size() - 2] != '\n') {
            out += '\n'; // a blank line between sections, as QSettings writes them
        }
        out += piece;
    };
    for (const Section& part : sections) {
        std::string piece;
        if (part.begin == part.body) { // the keys before any header
            std::size_t pos = 0;
            IniLine line;
            if (!NextLine(bytes.substr(0, part.end), pos, line)) {
                continue;
            }
            piece = "[General]\n" + std::string(bytes.substr(0, part.end));
        } else if (part.key != sectionName + u'/') {
            piece = bytes.substr(part.begin, part.end - part.begin);
        } else {
            continue;
        }
        if (RunsToTheEnd(piece)) {
            last = std::move(piece);
        } else {
            append(piece);
        }
    }
    if (!last.empty()) {
        append(last);
    }
    return out;
}

} // namespace tavmar::store::ini
