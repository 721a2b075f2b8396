#include "app/MessageBoxConfirm.h"
#include "app/MessageBoxShow.h"

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
    return ShowMessageBox(*this, *ui->lMainText, *ui->lAdditionalText, title, mainText, additionalText);
}

void MessageBoxConfirm::on_bOk_clicked()
{
    close();
}
