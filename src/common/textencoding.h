#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringConverter>
#include <QStringView>

// How the tool's text files are encoded: text in the system's code page,
// unless a byte-order mark at the file's start names a Unicode encoding.
namespace TextRules {

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

} // namespace TextRules
