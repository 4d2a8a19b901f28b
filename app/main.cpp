#include <QApplication>
#include <QIcon>

#include "appicons.h"
#include "mainwindow.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(AppIcons::application()));
    MainWindow window;
    window.show();
    return app.exec();
}
