#include "app/MessageBoxConfirm.h"

#include "ui_MessageBoxConfirm.h"

MessageBoxConfirm::MessageBoxConfirm(QWidget* parent)
    : QDialog(parent), ui(new Ui_MessageBoxConfirm)
{
    ui->setupUi(this);
    setFixedSize(frameGeometry().width(), frameGeometry().height());
}

MessageBoxConfirm::~MessageBoxConfirm()
{
    delete ui;
}

int MessageBoxConfirm::ShowMessage(const char* title, const char* mainText, const char* additionalText)
{
    setWindowFlags((windowFlags() | Qt::WindowStaysOnTopHint) & ~Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromUtf8(title));
    ui->lMainText->setText(QString::fromUtf8(mainText));
    ui->lAdditionalText->setText(QString::fromUtf8(additionalText));
    return exec();
}

void MessageBoxConfirm::on_bOk_clicked()
{
    close();
}
