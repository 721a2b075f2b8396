#include "app/MessageBoxShow.h"

#include <QDialog>
#include <QLabel>
#include <QString>

int ShowMessageBox(QDialog& box, QLabel& mainLine, QLabel& additionalLine, const char* title, const char* mainText,
                   const char* additionalText)
{
    box.setWindowFlags((box.windowFlags() | Qt::WindowStaysOnTopHint) & ~Qt::WindowCloseButtonHint);
    box.setWindowTitle(QString::fromUtf8(title));
    mainLine.setText(QString::fromUtf8(mainText));
    additionalLine.setText(QString::fromUtf8(additionalText));
    return box.exec();
}
