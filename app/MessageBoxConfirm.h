// A modal message box: a title, two centred lines and "Ok".
#ifndef VD_APP_MESSAGEBOXCONFIRM_H
#define VD_APP_MESSAGEBOXCONFIRM_H

#include <QDialog>

class Ui_MessageBoxConfirm;

class MessageBoxConfirm : public QDialog {
    Q_OBJECT
public:
    explicit MessageBoxConfirm(QWidget* parent);
    ~MessageBoxConfirm() override;

    // Texts are UTF-8; a null pointer gives an empty text. Runs modally.
    int ShowMessage(const char* title, const char* mainText, const char* additionalText);

private slots:
    void on_bOk_clicked();

private:
    Ui_MessageBoxConfirm* ui;
};

#endif
