// The about box: application image, name, running version and copyright.
#ifndef VD_APP_ABOUTDIALOG_H
#define VD_APP_ABOUTDIALOG_H

#include <QDialog>
#include <QString>

class Ui_AboutDialog;

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    AboutDialog(QWidget* parent, QString appVersion);
    ~AboutDialog() override;

private slots:
    void on_pushButton_clicked();

private:
    Ui_AboutDialog* ui;
};

#endif
