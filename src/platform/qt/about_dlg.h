#pragma once

#include <QDialog>

namespace quarin::qt {

// The About box: the icon, the name and version line, and OK.
class CAboutDlg : public QDialog
{
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

} // namespace quarin::qt
