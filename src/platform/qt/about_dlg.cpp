#include "platform/qt/about_dlg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/qt/app_icon.h"
#include "platform/qt/list_texts.h"

namespace quarin::qt {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(QString::fromLatin1(kAboutTitle));
    setWindowIcon(appIcon());

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    icon->setPixmap(appIcon().pixmap(32, 32));
    auto* line = new QLabel(QString::fromLatin1(kAboutLine), this);
    line->setObjectName(QStringLiteral("aboutLine"));
    auto* ok = new QPushButton(QString::fromLatin1(kAboutOk), this);
    ok->setObjectName(QStringLiteral("aboutOk"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* row = new QHBoxLayout;
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addSpacing(12);
    row->addWidget(line, 1);
    row->addSpacing(12);
    row->addWidget(ok, 0, Qt::AlignTop);
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(row);
    outer->setSizeConstraint(QLayout::SetFixedSize);
}

} // namespace quarin::qt
