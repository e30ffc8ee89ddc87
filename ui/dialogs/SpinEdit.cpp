#include "SpinEdit.h"

TSpinEdit::TSpinEdit(int minimum, int maximum, QWidget* parent) : QSpinBox(parent) {
    setRange(minimum, maximum);
}
int TSpinEdit::TakenValue() const {
    return value();
}
QValidator::State TSpinEdit::validate(QString& input, int& pos) const {
    return QSpinBox::validate(input, pos);
}
void TSpinEdit::fixup(QString& input) const {
    QSpinBox::fixup(input);
}
