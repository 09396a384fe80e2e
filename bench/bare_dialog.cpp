// The floor for a Qt dialog program's start-up, memory and idle: an application object and one
// empty dialog of the given size, run modally. Nothing else.

#include <cstdlib>

#include <QApplication>
#include <QDialog>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("bare dialog"));
    if (argc == 3) {
        dialog.setFixedSize(std::atoi(argv[1]), std::atoi(argv[2]));
    }
    dialog.exec();
    return 0;
}
