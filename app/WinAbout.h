// The about box: title and version, a notice, the rights line and a link to the maker's
// site. Created at program start. Main thread only.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class TfrmAbout1 : public QDialog {
    Q_OBJECT
  public:
    explicit TfrmAbout1(QWidget* parent = nullptr);

    QLabel* lbl4; // title line
    QLabel* lbl1; // notice line
    QLabel* lbl2; // rights line
    QLabel* lbl3; // link to the maker's site
    QPushButton* btn1;

    void FormShow();
    void btn1Click();
    void lbl3Click();

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
};

extern TfrmAbout1* frmAbout1;
