#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <functional>
#include <type_traits>

// Lines and blanks. A line ends at CR LF or at a lone CR; a lone LF stays
// inside the line. (Lines written end in CR LF: textfiles.h.)
namespace TextRules {

inline constexpr char16_t kBlank = u' ';

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

// Removes blanks (U+0020 only) from both ends; tabs and CRs stay.
QString trimBlanks(const QString &text);
QStringView trimBlanks(QStringView text);

// The form two versions are compared in: every CR LF removed, then every
// remaining LF, then blanks stripped from both ends.
QString normalizeVersion(const QString &text);

} // namespace TextRules
