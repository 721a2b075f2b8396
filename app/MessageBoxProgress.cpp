#include "app/MessageBoxProgress.h"

#include "ui_MessageBoxProgress.h"

#include <cstring>

void CopyUtf8Bounded(char* target, size_t capacity, const char* text)
{
    if (capacity == 0)
        return;
    if (text == nullptr) {
        target[0] = '\0';
        return;
    }
    size_t length = strnlen(text, capacity);
    if (length >= capacity) {
        length = capacity - 1;
        // Back off over continuation bytes so that the cut falls in front of
        // the lead byte of the character that does not fit whole.
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
            --length;
    }
    memcpy(target, text, length);
    target[length] = '\0';
}

MessageBoxProgress::MessageBoxProgress(QWidget* parent, const char* title_, const char* mainText_,
                                       const char* additionalText_)
    : QDialog(parent), ui(new Ui_MessageBoxProgress), title(), mainText(), additionalText(),
      parentWindow(parent)
{
    ui->setupUi(this);
    CopyUtf8Bounded(title, sizeof title, title_);
    CopyUtf8Bounded(mainText, sizeof mainText, mainText_);
    CopyUtf8Bounded(additionalText, sizeof additionalText, additionalText_);
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
    CopyUtf8Bounded(title, sizeof title, title_);
    CopyUtf8Bounded(mainText, sizeof mainText, mainText_);
    CopyUtf8Bounded(additionalText, sizeof additionalText, additionalText_);
}

int MessageBoxProgress::ShowMessage(const char* title_, const char* mainText_, const char* additionalText_)
{
    setParent(parentWindow);
    setWindowFlags((windowFlags() | Qt::WindowStaysOnTopHint) & ~Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromUtf8(title_));
    ui->lMainText->setText(QString::fromUtf8(mainText_));
    ui->lAdditionalText->setText(QString::fromUtf8(additionalText_));
    return exec();
}

void MessageBoxProgress::Message()
{
    ShowMessage(title, mainText, additionalText);
}

void MessageBoxProgress::EndDialog()
{
    close();
}
