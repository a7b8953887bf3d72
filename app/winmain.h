// The main window: preview, watermark list and its editing controls, output settings.
// Main thread only, except where a handler says otherwise.
#pragma once

#include "app/Controls.h"
#include "app/GlobalObject.h"
#include "app/MessageBox.h"

#include <QIcon>
#include <QList>
#include <QMainWindow>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class QAction;
class QCheckBox;
class QComboBox;
class QEvent;
class QFileDialog;
class QFontComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSlider;

// Preview layers and the conversion job; defined with the preview and the conversion.
class TBitmapLayer;
class TRubberbandLayer;
struct TlvFilesRecord;

class TfrmMain : public QMainWindow {
    Q_OBJECT
  public:
    // Runs FormCreate.
    explicit TfrmMain(QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Message boxes go through here; tests replace it to answer without a modal loop.
    TMessageBoxFunc MessageBox;

    TGlobalObject& Global() { return *FGlobal; }

    // ---- controls (object names as the fields) ----
    QPushButton* btnAddVideo;
    QLineEdit* edtVideoFile;
    QLabel* lblDuration;
    QComboBox* cboFrameSize;
    QComboBox* cboVideoFormat;
    QLineEdit* edDirectory;
    QPushButton* btn_output;
    QPushButton* btnOpen;
    TImgView* ImgView;
    QWidget* imgPreview;
    QSlider* trcPreview;
    QLabel* lblPTS;
    QPushButton* btnPause;
    QListWidget* lsbox;
    QPushButton* btnAddText;
    QPushButton* btnAddImage;
    QPushButton* btnDelete;
    QPushButton* btnUp;
    QPushButton* btnDown;
    QSlider* trcTextHoriz;
    QSlider* trcTextVert;
    QLineEdit* edtTextHoriz;
    QLineEdit* edtTextVert;
    QSlider* trcTextTran;
    QLineEdit* edtTextTran;
    TTrackBar2* trcRange;
    QLineEdit* edtStart;
    QLineEdit* edtEnd;
    TArrowButton* btnStartUp;
    TArrowButton* btnStartDown;
    TArrowButton* btnEndUp;
    TArrowButton* btnEndDown;
    QRadioButton* rb1;
    QRadioButton* rb2;
    TColorBox* suiColorBoxbackground;
    TColorBox* suiColorBoxcmb;
    QFontComboBox* suiFontCmb;
    QComboBox* suiFontSizeCmb;
    QCheckBox* suiChkBold;
    QCheckBox* suiChkItalic;
    QCheckBox* suiChkUnderline;
    QCheckBox* suiChkStrikeOut;
    QLineEdit* edt1;
    QSlider* LayerOpacity;
    QPushButton* btnStart;
    QPushButton* btnCancel;
    QPushButton* btnHelp;
    QPlainTextEdit* mmoLog;
    QFileDialog* OpenDialog1;
    QFileDialog* dlgOpen1;
    QList<QIcon> ImageList2; // 0 text item, 1 image item
    TApplicationEvents* ApplicationEvents1;
    // Share buttons.
    QToolButton* imgbtnfc;
    QToolButton* imgbtngoogle;
    QToolButton* imgbtntw;
    QToolButton* imgbtndelicious;
    QToolButton* imgbtndigg;
    QToolButton* imgbtnstumbleupon;
    QToolButton* imgbtnreddit;
    // Menu entries.
    QAction* About1;
    QAction* Help1;
    QAction* WebSite1;

    // ---- start-up and settings ----
    void FormCreate();
    void FormShow();
    void cboVideoFormatChange();
    // True when the window may close.
    bool FormCloseQuery();
    void btnCancelClick();
    void FormVCLEnabled(bool enabled);
    void FormButtonEnabled(bool enabled);

    // ---- watermark items ----
    void btnAddTextClick();
    void btnAddImageClick();
    void btnDeleteClick();
    void btnUpClick();
    void btnDownClick();
    void lsboxClick();
    void lsboxDblClick();
    void edt1Change();
    void edt1Exit();
    void trcTextHorizChange();
    void trcTextVertChange();
    void trcTextTranChange();
    void LayerOpacityChange();
    void trcRangeChange();
    void btnStartUpClick();
    void btnStartDownClick();
    void btnEndUpClick();
    void btnEndDownClick();
    void rb1Click();
    void rb2Click();
    void suiColorBoxbackgroundChange();
    void suiColorBoxcmbChange();
    void suiFontCmbChange();
    void suiFontSizeCmbChange();
    void suiChkBoldClick();
    void suiChkItalicClick();
    void suiChkUnderlineClick();
    void suiChkStrikeOutClick();

    // ---- conversion ----
    void btnStartClick();

    // ---- preview ----
    void btnAddVideoClick();
    void btnPauseClick();
    void ApplicationEvents1Message(QObject* receiver, QEvent* event, bool& Handled);
    void ShutDownPreview();

    // ---- output folder and side windows ----
    void btn_outputClick();
    void btnOpenClick();
    void About1Click();
    void Help1Click();
    void WebSite1Click();
    void imgbtnfcClick();
    void imgbtngoogleClick();
    void imgbtntwClick();
    void imgbtndeliciousClick();
    void imgbtndiggClick();
    void imgbtnstumbleuponClick();
    void imgbtnredditClick();

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void CreateControls();
    void CreateMenu();
    void ConnectHandlers();
    // Rebuilds cboFrameSize for the selected format with the stored "framesizeindex".
    void FillFrameSizes();
    void WriteSetting(const char* key, const std::string& value);
    void WriteSetting(const char* key, int value);

    std::unique_ptr<TGlobalObject> FGlobal;

    int64_t FVideoDuration = 0;                // microseconds
    std::atomic<bool> FDraggingPreview{false}; // read by the player's video thread
    std::atomic<bool> FListBusy{false};        // between the preview hook and Delete
    int FEditIndex = 0;
    TBitmapLayer* FSelectedLayer = nullptr;
    std::string FVideoFileName;
    TlvFilesRecord* FJob = nullptr; // owned; allocated on the first conversion
    TRubberbandLayer* FRubberBand = nullptr;
};

// The main window of the running program (set by main).
extern TfrmMain* frmMain;
