#include "XmlControlCarrier.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace {

bool ForbiddenControl(char32_t c) {
    return c < 0x20 && c != 0x09 && c != 0x0A && c != 0x0D;
}

struct TLiteralSection {
    QStringView Open, Close;
};
// Where the reader takes "&#...;" as it stands.
const TLiteralSection LiteralSections[] = {
    {u"<![CDATA[", u"]]>"},
    {u"<!--", u"-->"},
    {u"<?", u"?>"},
};

} // namespace

bool TXmlControlCarrier::XmlCharacter(char32_t c) {
    return c == 0x09 || c == 0x0A || c == 0x0D || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

qsizetype TXmlControlCarrier::CharacterReference(QStringView text, qsizetype at, char32_t& value) {
    if (at + 3 >= text.size() || text[at] != u'&' || text[at + 1] != u'#')
        return 0;
    qsizetype i = at + 2;
    const bool hex = text[i] == u'x';
    if (hex)
        ++i;
    const qsizetype digitsFrom = i;
    std::uint32_t v = 0;
    for (; i < text.size() && i - digitsFrom < 8; ++i) {
        const char16_t c = text[i].unicode();
        int d = -1;
        if (c >= u'0' && c <= u'9')
            d = c - u'0';
        else if (hex && c >= u'a' && c <= u'f')
            d = c - u'a' + 10;
        else if (hex && c >= u'A' && c <= u'F')
            d = c - u'A' + 10;
        if (d < 0)
            break;
        v = v * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
    }
    if (i == digitsFrom || i >= text.size() || text[i] != u';')
        return 0;
    value = v;
    return i + 1 - at;
}

bool TXmlControlCarrier::Walk(const QString& text, QString* out) {
    const QStringView view(text);
    qsizetype shift = 0;
    QStringView closing; // set while inside a literal section
    for (qsizetype at = 0; at < view.size();) {
        const char16_t c = view[at].unicode();
        QStringView markup;
        if (closing.isEmpty() && c == u'<') {
            for (const TLiteralSection& section : LiteralSections)
                if (view.sliced(at).startsWith(section.Open)) {
                    markup = section.Open;
                    closing = section.Close;
                    break;
                }
        } else if (!closing.isEmpty() && c == closing.front() &&
                   view.sliced(at).startsWith(closing)) {
            markup = closing;
            closing = {};
        }
        if (!markup.isEmpty()) {
            if (out)
                out->append(markup);
            at += markup.size();
            continue;
        }
        if (ForbiddenControl(c)) {
            if (!out)
                return true;
            *out += Carried(c);
            ++at;
            continue;
        }
        char32_t value = 0;
        const qsizetype length =
            closing.isEmpty() && c == u'&' ? CharacterReference(view, at, value) : 0;
        if (length > 0 && ForbiddenControl(value)) {
            if (!out)
                return true;
            *out += Carried(value);
            shift += length - 1;
            Shifts.emplace_back(out->size(), shift);
            at += length;
            continue;
        }
        if (out)
            *out += QChar(c);
        ++at;
    }
    return false;
}

QString TXmlControlCarrier::Prepare(const QString& original) {
    if (!Walk(original, nullptr))
        return original;
    PickBase(original);
    QString out;
    out.reserve(original.size());
    Walk(original, &out);
    return out;
}

QString TXmlControlCarrier::Restore(QStringView field) const {
    QString out = field.toString();
    if (Base == 0)
        return out;
    for (QChar& c : out)
        if (c.unicode() >= Base && c.unicode() < Base + 0x20)
            c = QChar(static_cast<char16_t>(c.unicode() - Base));
    return out;
}

qsizetype TXmlControlCarrier::Original(qsizetype offset) const {
    const auto after = std::upper_bound(
        Shifts.begin(), Shifts.end(), offset,
        [](qsizetype o, const std::pair<qsizetype, qsizetype>& s) { return o < s.first; });
    return after == Shifts.begin() ? offset : offset + std::prev(after)->second;
}

// The first block of 32 private-use characters the document uses nowhere, raw or as a
// reference; with none free the controls become U+FFFD.
void TXmlControlCarrier::PickBase(const QString& text) {
    constexpr char32_t first = 0xE000, blocks = 0x1900 / 0x20;
    std::vector<bool> used(blocks, false);
    auto mark = [&](char32_t c) {
        if (c >= first && c < first + blocks * 0x20)
            used[(c - first) / 0x20] = true;
    };
    for (qsizetype at = 0; at < text.size(); ++at) {
        mark(text[at].unicode());
        char32_t value = 0;
        if (CharacterReference(text, at, value) > 0)
            mark(value);
    }
    for (char32_t b = 0; b < blocks; ++b)
        if (!used[b]) {
            Base = static_cast<char16_t>(first + b * 0x20);
            return;
        }
}

QChar TXmlControlCarrier::Carried(char32_t control) const {
    if (control == 0 || Base == 0)
        return QChar(0xFFFD);
    return QChar(static_cast<char16_t>(Base + control));
}
