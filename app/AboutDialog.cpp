#include "app/AboutDialog.h"

#include "ui_AboutDialog.h"

#include <QFont>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QPixmap>

AboutDialog::AboutDialog(QWidget* parent, QString appVersion)
    : QDialog(parent), ui(new Ui_AboutDialog)
{
    ui->setupUi(this);
    setFixedSize(frameGeometry().width(), frameGeometry().height());
    ui->lAppVersion->setText(appVersion);

    QGraphicsScene* scene = new QGraphicsScene(this);
    const QPixmap image(QStringLiteral(":/Vantrelon Diagnostic.png"));
    scene->addItem(new QGraphicsPixmapItem(image));
    ui->graphicsView->setScene(scene);
    ui->graphicsView->fitInView(QRectF(image.rect()), Qt::KeepAspectRatio);
    ui->graphicsView->scale(1.8, 1.8);
    ui->graphicsView->setStyleSheet(QStringLiteral("QGraphicsView { border-style: none; background: transparent}"));
    ui->graphicsView->show();

    ui->lAppName->setFont(QFont(QStringLiteral("Sans Serif"), 12, QFont::Bold));
}

AboutDialog::~AboutDialog()
{
    delete ui;
}

void AboutDialog::on_pushButton_clicked()
{
    accept();
}
