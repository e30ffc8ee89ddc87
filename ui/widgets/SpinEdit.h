// A whole-number spin field that lets any number be typed and brings it within its range when
// it loses the focus; TakenValue() reads the text as the dialogs take it.
#pragma once

#include <QSpinBox>

class TSpinEdit : public QSpinBox {
    Q_OBJECT
public:
    TSpinEdit(int minimum, int maximum, QWidget* parent = nullptr);

    // The text read as a whole number, brought within the range; no whole number: the minimum.
    int TakenValue() const;
    // The text field (for typing in tests).
    using QAbstractSpinBox::lineEdit;

protected:
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
};
