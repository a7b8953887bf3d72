// The progress window of a conversion: a bar and the pause/resume and stop buttons.
// Created once at program start and shown modally for every run. Main thread only.
#pragma once

#include <QDialog>

class QProgressBar;
class QPushButton;

class TfrmProgress : public QDialog {
    Q_OBJECT
  public:
    explicit TfrmProgress(QWidget* parent = nullptr);

    QProgressBar* progbarFile; // percentage done, 0..100
    QPushButton* btnPause;     // "Pause" / "Resume"
    QPushButton* btnStop;

    void FormShow();
    void btnPauseClick();
    void btnStopClick();

  protected:
    void showEvent(QShowEvent* event) override;
};

extern TfrmProgress* frmProgress;
