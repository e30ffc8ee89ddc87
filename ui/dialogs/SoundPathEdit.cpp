#include "SoundPathEdit.h"

TSoundPathEdit::TSoundPathEdit(QWidget* parent) : QLineEdit(parent) {}
void TSoundPathEdit::changeEvent(QEvent* event) {
    QLineEdit::changeEvent(event);
}
