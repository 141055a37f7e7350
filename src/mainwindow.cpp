#include "mainwindow.h"

#include "windowchrome.h"

#include <QIcon>
#include <QVBoxLayout>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint
                              | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle(tr("Пелорин — удалённый доступ"));
    setWindowIcon(QIcon(QStringLiteral(":/assets/logo.png")));
    resize(1400, 900);
    setMinimumSize(1100, 700);

    auto *central = new QWidget(this);
    auto *column = new QVBoxLayout(central);
    column->setContentsMargins(1, 1, 1, 1);
    column->setSpacing(0);
    column->addWidget(createTitleBar(this, tr("Пелорин — удалённый доступ"), true));

    body = new QWidget(central);
    column->addWidget(body, 1);
    setCentralWidget(central);
    installResizeFilter(this);
}

MainWindow::~MainWindow() = default;
