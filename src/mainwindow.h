#pragma once

#include <QMainWindow>

// The one top-level window of the program: a frameless window that draws its
// own title bar and holds the address book column and the workspace.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private:
    QWidget *body = nullptr;
};
