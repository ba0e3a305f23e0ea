#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringConverter>
#include <QStringList>
#include <QStringView>

#include <functional>
#include <type_traits>

// The text rules every part of the tool shares: files are text in the
// system's code page, a line read ends at CR LF or at a lone CR (a lone LF
// stays inside the line), and every line written ends in CR LF.
namespace TextRules {

inline constexpr char16_t kBlank = u' ';

// Text in the system's code page.
QString decode(const QByteArray &bytes);
QByteArray encode(const QString &text);
QStringDecoder systemDecoder(QStringConverter::Flags flags = QStringConverter::Flag::Default);
// For tests: the code page taken as the system's, by a name Qt knows
// ("windows-1252", the ANSI code page of Western European Windows; Qt 6
// on Linux always takes UTF-8). An empty name: the system's own again.
void useCodePage(const QByteArray &name);

// The encoding a file names with a byte-order mark at its very start:
// EF BB BF UTF-8, FF FE UTF-16 little-endian, FE FF UTF-16 big-endian.
// size 0: no mark, the file is text in the system's code page.
struct ByteOrderMark
{
    QStringConverter::Encoding encoding = QStringConverter::System;
    qsizetype size = 0;
};
ByteOrderMark byteOrderMark(QByteArrayView start);

// Decodes the bytes after a byte-order mark in the encoding it names, as
// they arrive a piece at a time (a character may be cut between two
// pieces). Bytes that are not valid in that encoding throw Failure
// (FailureCode::InvalidText) naming the file and the encoding; so does an
// unpaired UTF-16 surrogate in the text handed to check(), and a last
// character cut short, which finish() finds.
class MarkedDecoder
{
public:
    MarkedDecoder(ByteOrderMark mark, QString fileName);
    QString decode(QByteArrayView piece);
    void check(QStringView text) const;
    void finish();

private:
    [[noreturn]] void refuse() const;

    struct Decoder : QStringDecoder
    {
        using QStringDecoder::QStringDecoder;
        bool cutShort() const { return state.remainingChars != 0; }
    };
    ByteOrderMark m_mark;
    QString m_fileName;
    Decoder m_decoder;
};

// A whole file's text: after a byte-order mark in the encoding it names
// (MarkedDecoder's rules, the mark itself left out), else in the system's
// code page.
QString decodeFile(const QByteArray &bytes, const QString &fileName);

// The length of the line end that starts at `pos` of a text or of bytes:
// 2 for CR LF, 1 for a lone CR, 0 where no line ends (a lone LF included).
template <typename View>
qsizetype lineEndAt(View text, qsizetype pos)
{
    if (pos >= text.size() || text.at(pos) != u'\r')
        return 0;
    return pos + 1 < text.size() && text.at(pos + 1) == u'\n' ? 2 : 1;
}

// Cuts bytes (or text) that arrive a piece at a time into lines,
// terminators removed: a CR that ends one piece and an LF that starts the
// next are one line end. Each line is handed on as soon as its end has
// arrived; the view is valid only during the call.
template <typename View, typename Buffer>
class BasicLineSplitter
{
public:
    using Sink = std::function<void(View line)>;

    void feed(View piece, const Sink &line)
    {
        constexpr auto cr = unit('\r');
        constexpr auto lf = unit('\n');
        if (m_afterCr && !piece.isEmpty()) {
            m_afterCr = false;
            if (piece.front() == lf)
                piece = piece.sliced(1);
        }
        for (;;) {
            const qsizetype end = piece.indexOf(cr);
            if (end < 0) {
                m_partial += piece;
                return;
            }
            if (m_partial.isEmpty()) {
                line(piece.first(end));
            } else {
                m_partial += piece.first(end);
                line(m_partial);
                m_partial.clear();
            }
            piece = piece.sliced(end + 1);
            if (piece.isEmpty()) {
                m_afterCr = true;
                return;
            }
            if (piece.front() == lf)
                piece = piece.sliced(1);
        }
    }

    // The last line, when the input does not end with a line end.
    void finish(const Sink &line)
    {
        if (!m_partial.isEmpty())
            line(m_partial);
        m_partial.clear();
        m_afterCr = false;
    }

private:
    // A character as the view's own code unit.
    static constexpr auto unit(char c)
    {
        if constexpr (std::is_same_v<View, QStringView>)
            return static_cast<char16_t>(c);
        else
            return c;
    }

    Buffer m_partial;
    bool m_afterCr = false;
};

using LineSplitter = BasicLineSplitter<QByteArrayView, QByteArray>;
using TextLineSplitter = BasicLineSplitter<QStringView, QString>;

// Lines of a text, terminators removed. A final terminator ends the last
// line and does not start another one; an empty text has no lines.
QStringList splitLines(const QString &text);
QList<QByteArray> splitLines(const QByteArray &bytes);

// Removes blanks (U+0020 only) from both ends; tabs and CRs stay.
QString trimBlanks(const QString &text);
QStringView trimBlanks(QStringView text);

// The form two versions are compared in: every CR LF removed, then every
// remaining LF, then blanks stripped from both ends.
QString normalizeVersion(const QString &text);

// Whole-file helpers. They throw Failure: FileNotFound when nothing is at
// the path, PathAccess when it cannot be opened, InputPastEnd when a first
// line is asked of an empty file, WriteFailed when writing fails.
QByteArray readFile(const QString &path);
// Hands the file's bytes to `consume` a piece at a time, so a large file is
// never held whole. Throws as readFile does.
void readChunks(const QString &path, const std::function<void(QByteArrayView)> &consume);
QString readFirstLine(const QString &path);
QStringList readLines(const QString &path);
// Replaces the file with the lines, each followed by CR LF. The new content
// appears whole or not at all.
void writeLines(const QString &path, const QStringList &lines);

} // namespace TextRules
