#pragma once

#include <QString>
#include <QTextDocument>

namespace quarin::qt {

// A tooltip shown exactly as written: Qt takes a text that looks like markup for rich text, and
// a register's characters or a failure text may look so.
inline QString plainToolTip(const QString& text)
{
    return text.isEmpty() ? QString() : Qt::convertFromPlainText(text, Qt::WhiteSpacePre);
}

} // namespace quarin::qt
