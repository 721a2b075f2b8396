// What the two message boxes do when they are shown: both carry a title and
// two centred lines, and both stay on top without a close button.
#ifndef VD_APP_MESSAGEBOXSHOW_H
#define VD_APP_MESSAGEBOXSHOW_H

class QDialog;
class QLabel;

// Keeps box on top and takes away its close button, sets its title and the
// two lines (UTF-8; a null pointer gives an empty text), then runs it
// modally and returns the result of the run.
int ShowMessageBox(QDialog& box, QLabel& mainLine, QLabel& additionalLine, const char* title, const char* mainText,
                   const char* additionalText);

#endif
