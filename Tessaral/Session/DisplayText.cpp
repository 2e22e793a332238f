#include "DisplayText.hpp"

#include <QTextBoundaryFinder>

namespace tessaral {

QString displayText(const QString& serverText, int maximumLength) {
    if (maximumLength <= 0) {
        return {};
    }
    QString cleaned;
    cleaned.reserve(serverText.size());
    bool pendingSpace = false;
    for (qsizetype i = 0; i < serverText.size(); ++i) {
        const QChar c = serverText.at(i);
        const bool pair = c.isHighSurrogate() && i + 1 < serverText.size() &&
                          serverText.at(i + 1).isLowSurrogate();
        const char32_t scalar =
            pair ? QChar::surrogateToUcs4(c, serverText.at(i + 1)) : c.unicode();
        // Line breaks and tabs separate words; dropping them would run the words together.
        if (QChar::isSpace(scalar)) {
            pendingSpace = true;
            continue;
        }
        // Controls, format characters (the bidirectional overrides and marks among them) and
        // lone surrogates.
        switch (QChar::category(scalar)) {
            case QChar::Other_Control:
            case QChar::Other_Format:
            case QChar::Other_Surrogate:
                i += pair ? 1 : 0;
                continue;
            default:
                break;
        }
        if (pendingSpace && !cleaned.isEmpty()) {
            cleaned.append(u' ');
        }
        pendingSpace = false;
        cleaned.append(c);
        if (pair) {
            cleaned.append(serverText.at(++i));
        }
    }

    // Cut between grapheme clusters, so that no accent, emoji or surrogate pair is split.
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, cleaned);
    int count = 0;
    qsizetype cut = -1;
    while (graphemes.toNextBoundary() != -1) {
        ++count;
        if (count == maximumLength - 1) {
            cut = graphemes.position();
        }
        if (count > maximumLength) {
            QString elided = cleaned.left(cut < 0 ? 0 : cut);
            while (elided.endsWith(u' ')) {
                elided.chop(1);
            }
            return elided + QStringLiteral("…");
        }
    }
    return cleaned;
}

}  // namespace tessaral
