#include "app/Application.h"

#include <QApplication>

#include "app/MainWindow.h"

int RunApplication(int& argc, char** argv)
{
    QApplication application(argc, argv);
    int status = 0;
    {
        // The window goes before the application object.
        MainWindow window(nullptr);
        if (window.startupFailed())
            return 1;
        window.show();
        status = application.exec();
    }
    return status;
}
