// C-style escapes for bytes that travel inside one text line of the control channel.
#pragma once

#include <QByteArray>
#include <QString>

namespace omnivue {

// Decodes \n \r \t \\ and \xNN (two hexadecimal digits); any other byte stands for itself.
// Returns false and sets `error` on an unknown or incomplete escape.
bool unescapeC(const QByteArray& text, QByteArray* bytes, QString* error);

// The inverse for display: backslash, control bytes and bytes above 0x7e become escapes.
QByteArray escapeC(const QByteArray& bytes);

}  // namespace omnivue
