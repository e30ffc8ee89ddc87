#include "DisplayText.h"

#include <QTextDocument>

namespace {

bool ShownAsCode(char32_t c) {
    if (c < 0x20)
        return c != u'\t' && c != u'\r' && c != u'\n';
    return (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F || c == 0x061C;
}

} // namespace

QString DisplayText(const QString& text) {
    // None of these characters is a surrogate: a check of single UTF-16 units is enough.
    qsizetype first = 0;
    while (first < text.size() && !ShownAsCode(text[first].unicode()))
        ++first;
    if (first == text.size())
        return text;
    QString shown = text.left(first);
    for (qsizetype i = first; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (ShownAsCode(c))
            shown +=
                QStringLiteral("<U+") +
                QString::number(static_cast<unsigned>(c), 16).toUpper().rightJustified(4, u'0') +
                u'>';
        else
            shown += text[i];
    }
    return shown;
}

QString DisplayText(const std::string& text) {
    return DisplayText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

QString ToolTipText(const QString& text) {
    const QString shown = DisplayText(text);
    if (!Qt::mightBeRichText(shown))
        return shown;
    return Qt::convertFromPlainText(shown, Qt::WhiteSpaceNormal);
}
