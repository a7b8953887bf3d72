#include "app/progress.h"

#include <QHBoxLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

TfrmProgress* frmProgress = nullptr;

TfrmProgress::TfrmProgress(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setWindowTitle("Progress");
    setFixedSize(463, 93);

    progbarFile = new QProgressBar;
    progbarFile->setObjectName("progbarFile");
    progbarFile->setRange(0, 100);
    progbarFile->setValue(0);
    btnPause = new QPushButton("Pause");
    btnPause->setObjectName("btnPause");
    btnStop = new QPushButton("Stop");
    btnStop->setObjectName("btnStop");

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnPause);
    buttons->addWidget(btnStop);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(progbarFile);
    layout->addLayout(buttons);

    connect(btnPause, &QPushButton::clicked, this, &TfrmProgress::btnPauseClick);
    connect(btnStop, &QPushButton::clicked, this, &TfrmProgress::btnStopClick);
}

void TfrmProgress::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) FormShow();
}

// The run itself is started, paused and stopped here once the encoder is in place.
void TfrmProgress::FormShow() {}
void TfrmProgress::btnPauseClick() {}
void TfrmProgress::btnStopClick() {}
