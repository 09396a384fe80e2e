#include "platform/qt/app_icon.h"

#include <QPixmap>

namespace quarin::qt {

namespace {

// Kept as XPM text so the icon needs neither a resource file nor an image plugin.
// clang-format off
const char* const kIconXpm[] = {
    "32 32 4 1",
    ". c None",
    "b c #1F4E79",
    "w c #FFFFFF",
    "o c #F2A900",
    "................................",
    "...bbbbbbbbbbbbbbbbbbbbbbbbbb...",
    "..bbbbbbbbbbbbbbbbbbbbbbbbbbbb..",
    ".bbbbbbbbbbbbbbbbbbbbbbbbbbbbbb.",
    ".bbbbbbbbbbbbbbbbbbbbbbbbbbbbbb.",
    ".bbbbbbbbbbbbbbbbbbbbbbbbbbbbbb.",
    ".bbbbbbbbbbbbbbbbbbbbbbbbbbbbbb.",
    ".bbbbbbbbbbbbbbbbbbbbbbbbbbbbbb.",
    ".bbbbbbbbbbbbbbbbbbbbbbbwwwwbbb.",
    ".bbbbbbbbbbbbbbbbbbbbbbbwwwwbbb.",
    ".bbbbbbbbbbbbbbbbbbbbbbbwwwwbbb.",
    ".bbbbbbbbbbbbbbbbbbbbbbbwwwwbbb.",
    ".bbbbbbbbbbbwwwwbbbbbbbbwwwwbbb.",
    ".bbbbbbbbbbbwwwwbbbbbbbbwwwwbbb.",
    ".bbbbbbbbbbbwwwwbbbbbbbbwwwwbbb.",
    ".bbbbbbbbbbbwwwwbbwwwwbbwwwwbbb.",
    ".bbbbbbbbbbbwwwwbbwwwwbbwwwwbbb.",
    ".bbbbbbbbbbbwwwwbbwwwwbbwwwwbbb.",
    ".bbbbbwwwwbbwwwwbbwwwwbbwwwwbbb.",
    ".bbbbbwwwwbbwwwwbbwwwwbbwwwwbbb.",
    ".bbbbbwwwwbbwwwwbbwwwwbbwwwwbbb.",
    ".bbbbbwwwwbbwwwwbbwwwwbbwwwwbbb.",
    ".bbbbbwwwwbbwwwwbbwwwwbbwwwwbbb.",
    ".bbbbbwwwwbbwwwwbbwwwwbbwwwwbbb.",
    ".bbbbbwwwwbbwwwwbbwwwwbbwwwwbbb.",
    ".bbbbbwwwwbbwwwwbbwwwwbbwwwwbbb.",
    ".bbbbbbbbbbbbbbbbbbbbbbbbbbbbbb.",
    ".bbbbooooooooooooooooooooooobbb.",
    ".bbbbooooooooooooooooooooooobbb.",
    "..bbbbbbbbbbbbbbbbbbbbbbbbbbbb..",
    "...bbbbbbbbbbbbbbbbbbbbbbbbbb...",
    "................................",
};
// clang-format on

} // namespace

QIcon appIcon()
{
    return QIcon(QPixmap(kIconXpm));
}

} // namespace quarin::qt
