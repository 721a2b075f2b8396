// A busy box: a title, two centred lines and a running busy bar, no buttons.
// It keeps its texts until it is shown on request and is closed by a slot.
#ifndef VD_APP_MESSAGEBOXPROGRESS_H
#define VD_APP_MESSAGEBOXPROGRESS_H

#include <QDialog>

class Ui_MessageBoxProgress;

class MessageBoxProgress : public QDialog {
    Q_OBJECT
public:
    MessageBoxProgress(QWidget* parent, const char* title, const char* mainText, const char* additionalText);
    explicit MessageBoxProgress(QWidget* parent);
    ~MessageBoxProgress() override;

    void SetMessage(const char* title, const char* mainText, const char* additionalText);
    int ShowMessage(const char* title, const char* mainText, const char* additionalText);

    // Each stored text holds at most 127 bytes; a longer text is cut at the
    // last whole UTF-8 character that fits.
    static const int kTextCapacity = 128;

public slots:
    void Message();
    void EndDialog();

private:
    friend struct MessageBoxProgressTestAccess;

    Ui_MessageBoxProgress* ui;
    char title[kTextCapacity];
    char mainText[kTextCapacity];
    char additionalText[kTextCapacity];
    QWidget* parentWindow;
};

#endif
