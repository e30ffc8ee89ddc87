// XML 1.0 forbids most C0 controls, even written as "&#x1;", yet a statement may hold them and
// servers write them so. They pass the XML reader as characters of a private-use block the
// document does not use otherwise and turn back into themselves when a field is taken. NUL
// becomes U+FFFD: no field should carry a string terminator.
//
// A reference counts where the XML reader resolves one (content and attribute values); inside
// a CDATA section, a comment or a processing instruction it is literal text and stays so.
#pragma once

#include <QString>
#include <QStringView>
#include <utility>
#include <vector>

class TXmlControlCarrier {
public:
    // The text the XML reader gets; `original` itself when it holds no such control.
    QString Prepare(const QString& original);
    // A field's text with the carried controls restored.
    QString Restore(QStringView field) const;
    // An offset in the prepared text as an offset in the original.
    qsizetype Original(qsizetype offset) const;

    // "&#x1B;" or "&#27;" at `at`: its length and value; 0 when there is none.
    static qsizetype CharacterReference(QStringView text, qsizetype at, char32_t& value);
    // Whether a character may stand in an XML 1.0 document.
    static bool XmlCharacter(char32_t c);

private:
    // Walks the text as the reader will; with out null only tells whether anything needs
    // carrying (and stops at the first), otherwise writes the prepared text.
    bool Walk(const QString& text, QString* out);
    void PickBase(const QString& text);
    QChar Carried(char32_t control) const;

    char16_t Base = 0;
    // (offset in the prepared text from which on, what to add for the original), ascending
    std::vector<std::pair<qsizetype, qsizetype>> Shifts;
};
