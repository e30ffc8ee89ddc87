#include "SpinEdit.h"

#include <QLocale>
#include <algorithm>
#include <optional>

namespace {

std::optional<long long> WholeNumber(const QString& text) {
    bool ok = false;
    const long long number = text.trimmed().toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return number;
}

} // namespace

TSpinEdit::TSpinEdit(int minimum, int maximum, QWidget* parent) : QSpinBox(parent) {
    setRange(minimum, maximum);
    setSingleStep(1);
    // A typed number may stand outside the range until the field loses the focus.
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    setKeyboardTracking(true);
}

int TSpinEdit::TakenValue() const {
    const std::optional<long long> number = WholeNumber(cleanText());
    if (!number)
        return minimum();
    return static_cast<int>(std::clamp<long long>(*number, minimum(), maximum()));
}

QValidator::State TSpinEdit::validate(QString& input, int& /*pos*/) const {
    // Digits, signs and the decimal separator may be typed; anything else is refused.
    const QChar decimalPoint = locale().decimalPoint().front();
    for (const QChar c : input) {
        if (!c.isDigit() && c != u'+' && c != u'-' && c != decimalPoint && c != u'.')
            return QValidator::Invalid;
    }
    const std::optional<long long> number = WholeNumber(input);
    if (number && *number >= minimum() && *number <= maximum())
        return QValidator::Acceptable;
    return QValidator::Intermediate;
}

void TSpinEdit::fixup(QString& input) const {
    // Brought to the nearer bound; what is no whole number becomes the minimum.
    const std::optional<long long> number = WholeNumber(input);
    const long long value = number ? std::clamp<long long>(*number, minimum(), maximum())
                                   : static_cast<long long>(minimum());
    input = QString::number(value);
}
