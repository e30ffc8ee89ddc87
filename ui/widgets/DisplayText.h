// Text from servers and files as the screen shows it. Bidi controls would reorder what
// follows them ("HOST-\u202Egnp.exe" reads as "HOST-exe.png"), control characters can hide
// or move text, and a tooltip or label takes text for HTML when it looks like it.
#pragma once

#include <QString>
#include <string>

// The text with every bidi control (U+202A..U+202E, U+2066..U+2069, U+200E, U+200F, U+061C),
// C0 control but tab, CR and LF, DEL and C1 control shown as "<U+XXXX>".
QString DisplayText(const QString& text);
// DisplayText of UTF-8 text.
QString DisplayText(const std::string& text);

// DisplayText for a tooltip: as it is when Qt would show it as plain text anyway, else as
// escaped rich text that shows the same characters ("<img src=...>" as those characters).
QString ToolTipText(const QString& text);
