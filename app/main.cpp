#include <QApplication>
#include <QIcon>

#include "frmmain.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/relay-console.png")));
    frmMain window;
    window.show();
    return app.exec();
}
