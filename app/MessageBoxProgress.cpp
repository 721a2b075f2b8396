#include "app/MessageBoxProgress.h"
#include "app/MessageBoxShow.h"

#include "ui_MessageBoxProgress.h"

#include "pcscread/Names.h"

using pcscread::CopyName;

MessageBoxProgress::MessageBoxProgress(QWidget* parent, const char* title_, const char* mainText_,
                                       const char* additionalText_)
    : QDialog(parent), ui(new Ui_MessageBoxProgress), title(), mainText(), additionalText(),
      parentWindow(parent)
{
    ui->setupUi(this);
    // Only kept: the labels show the form's texts until Message() shows the box.
    CopyName(title, sizeof title, title_);
    CopyName(mainText, sizeof mainText, mainText_);
    CopyName(additionalText, sizeof additionalText, additionalText_);
    setFixedSize(frameGeometry().width(), frameGeometry().height());
}

MessageBoxProgress::MessageBoxProgress(QWidget* parent)
    : QDialog(parent), ui(new Ui_MessageBoxProgress), title(), mainText(), additionalText(),
      parentWindow(parent)
{
    ui->setupUi(this);
}

MessageBoxProgress::~MessageBoxProgress()
{
    delete ui;
}

void MessageBoxProgress::SetMessage(const char* title_, const char* mainText_, const char* additionalText_)
{
    CopyName(title, sizeof title, title_);
    CopyName(mainText, sizeof mainText, mainText_);
    CopyName(additionalText, sizeof additionalText, additionalText_);
}

int MessageBoxProgress::ShowMessage(const char* title_, const char* mainText_, const char* additionalText_)
{
    setParent(parentWindow);
    return ShowMessageBox(*this, *ui->lMainText, *ui->lAdditionalText, title_, mainText_, additionalText_);
}

void MessageBoxProgress::Message()
{
    ShowMessage(title, mainText, additionalText);
}

void MessageBoxProgress::EndDialog()
{
    close();
}
