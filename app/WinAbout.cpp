#include "app/WinAbout.h"

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QVBoxLayout>

TfrmAbout1* frmAbout1 = nullptr;

TfrmAbout1::TfrmAbout1(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About");

    auto* icon = new QLabel;
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(32, 32));
    lbl4 = new QLabel;
    lbl4->setObjectName("lbl4");
    lbl1 = new QLabel("Burns text and image watermarks into video files.");
    lbl1->setObjectName("lbl1");
    lbl2 = new QLabel("Copyright (C) the Velloran developers. All rights reserved.");
    lbl2->setObjectName("lbl2");
    lbl3 = new QLabel;
    lbl3->setObjectName("lbl3");
    lbl3->setCursor(Qt::PointingHandCursor);
    QFont bold = lbl3->font();
    bold.setBold(true);
    lbl3->setFont(bold);
    lbl3->installEventFilter(this);
    btn1 = new QPushButton("OK");
    btn1->setObjectName("btn1");

    auto* texts = new QVBoxLayout;
    for (QLabel* l : {lbl4, lbl1, lbl2, lbl3})
        texts->addWidget(l);
    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addLayout(texts, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    bottom->addWidget(btn1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(bottom);

    connect(btn1, &QPushButton::clicked, this, &TfrmAbout1::btn1Click);
}

void TfrmAbout1::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) FormShow();
}

bool TfrmAbout1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lbl3 && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
        lbl3Click();
    return QDialog::eventFilter(watched, event);
}

// Filled in with the side windows: texts from the product title, version and page address.
void TfrmAbout1::FormShow() {}
void TfrmAbout1::btn1Click() {}
void TfrmAbout1::lbl3Click() {}
