#include <QApplication>

#include "app/MainWindow.h"

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    int status = 0;
    {
        MainWindow window(nullptr);
        if (window.startupFailed())
            return 1;
        window.show();
        status = application.exec();
    }
    return status;
}
