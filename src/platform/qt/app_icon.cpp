#include "platform/qt/app_icon.h"

#include <QPixmap>

namespace quarin::qt {

namespace {

// Kept as XPM text so the icon needs neither a resource file nor an image plugin: the 32 px
// rendering of packaging/icons/org.quarin.Quarin.svg, the desktop's icon, in 11 colours.
// clang-format off
const char* const kIconXpm[] = {
    "32 32 11 1",
    "  c #1F4E79",
    ". c #26537A",
    "X c #4C615F",
    "o c #E8A506",
    "O c #3C658B",
    "+ c #6988A5",
    "@ c #FCFCFD",
    "# c #DCE3EA",
    "$ c #9DB2C4",
    "% c None",
    "& c #867A3E",
    "%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%",
    "%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%",
    "%%%%%                      %%%%%",
    "%%%%                        %%%%",
    "%%%                          %%%",
    "%%        .+$#@@#$+.          %%",
    "%%       +#@@@@@@@@#+         %%",
    "%%      $@@@@@@@@@@@@$        %%",
    "%%     $@@@@$O..O$@@@@$       %%",
    "%%    +@@@$.      .$@@@+      %%",
    "%%   .#@@$      ++  $@@#.     %%",
    "%%   +@@@.      @@  .@@@+     %%",
    "%%   $@@$    ++ @@   $@@$     %%",
    "%%   #@@O    @@ @@   O@@#     %%",
    "%%   @@@. ++ @@ @@   .@@@     %%",
    "%%   @@@. @@ @@ @@   .@@@     %%",
    "%%   #@@O @@ @@ @@   O@@#     %%",
    "%%   $@@$ @@ @@ @$   $@@$     %%",
    "%%   +@@@.        &&XO@@+     %%",
    "%%   .#@@$       XoooXO#.     %%",
    "%%    +@@@$.     .ooooX.      %%",
    "%%     $@@@@$O..OOXooooX      %%",
    "%%      $@@@@@@@@@OXooooX     %%",
    "%%       +#@@@@@@@@OXooooX    %%",
    "%%        .+$#@@#$+. XooooX   %%",
    "%%                    Xoooo   %%",
    "%%                     Xooo   %%",
    "%%%                     X&X  %%%",
    "%%%%                        %%%%",
    "%%%%%                      %%%%%",
    "%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%",
    "%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%",
};
// clang-format on

} // namespace

QIcon appIcon()
{
    return QIcon(QPixmap(kIconXpm));
}

} // namespace quarin::qt
