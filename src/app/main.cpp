#include "app/ScreenModel.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("PinDrift"));
    QApplication::setApplicationVersion(QStringLiteral(PINDRIFT_VERSION));
    ScreenModel model;
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("PinDrift"));
    window.resize(900, 580);
    window.show();
    model.runStartupSequence();
    const int status = QApplication::exec();
    model.stopBackgroundWork();
    return status;
}
