// One start of a window for the start-up benchmark: "console" builds the console's main window
// exactly as relay-console does (the port probe included), "empty" a bare window of the same
// size. Prints one line when the window is first exposed, then exits; the times are
// milliseconds since main() began:
//   shown app <ms> window <ms> exposed <ms>
#include <QApplication>
#include <QElapsedTimer>
#include <QIcon>
#include <QWindow>

#include <cstdio>
#include <string>

#include "appicons.h"
#include "mainwindow.h"

namespace {

QElapsedTimer sinceMain;

double ms()
{
    return sinceMain.nsecsElapsed() / 1e6;
}

class ExposeWatch : public QObject
{
public:
    double appMs = 0;
    double windowMs = 0;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *window = qobject_cast<QWindow *>(watched);
        if (event->type() == QEvent::Expose && window && window->isExposed()) {
            std::printf("shown app %.2f window %.2f exposed %.2f\n", appMs, windowMs, ms());
            std::fflush(stdout);
            std::_Exit(0);
        }
        return false;
    }
};

} // namespace

int main(int argc, char **argv)
{
    sinceMain.start();
    const bool console = argc > 1 && std::string(argv[1]) == "console";
    ExposeWatch watch;
    QApplication app(argc, argv);
    watch.appMs = ms();
    app.installEventFilter(&watch);
    if (console) {
        QApplication::setWindowIcon(QIcon(AppIcons::application()));
        auto *window = new MainWindow;
        watch.windowMs = ms();
        window->show();
    } else {
        auto *window = new QWidget;
        window->setFixedSize(279, 345);
        watch.windowMs = ms();
        window->show();
    }
    return app.exec();
}
