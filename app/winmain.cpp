#include "app/winmain.h"

#include "app/Presets.h"
#include "platform/IniFile.h"
#include "platform/OSServices.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFontComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShowEvent>
#include <QSlider>
#include <QVBoxLayout>

TfrmMain* frmMain = nullptr;

namespace {

constexpr int kClientWidth = 919;
constexpr int kClientHeight = 635;

const char* const kProductPageUrl = "http://www.velloran.example/velloran-free-version.htm?wm";

template <class W> W* Named(W* widget, const char* name) {
    widget->setObjectName(name);
    return widget;
}

QPushButton* Button(const char* name, const char* caption) {
    return Named(new QPushButton(caption), name);
}

QLineEdit* Edit(const char* name, bool read_only, const char* text = "") {
    auto* e = Named(new QLineEdit(text), name);
    e->setReadOnly(read_only);
    return e;
}

QSlider* Bar(const char* name, int min, int max) {
    auto* s = Named(new QSlider(Qt::Horizontal), name);
    s->setRange(min, max);
    return s;
}

// A 32 x 32 share button: the service's initial on its colour.
QToolButton* ShareButton(const char* name, const char* hint, const char* letter, QColor color) {
    auto* b = Named(new QToolButton, name);
    b->setToolTip(hint);
    b->setFixedSize(32, 32);
    b->setIconSize(QSize(28, 28));
    b->setAutoRaise(true);
    QPixmap pm(28, 28);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawRoundedRect(QRectF(0, 0, 28, 28), 5, 5);
    QFont f = p.font();
    f.setBold(true);
    f.setPixelSize(17);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(0, 0, 28, 28), Qt::AlignCenter, letter);
    p.end();
    b->setIcon(QIcon(pm));
    return b;
}

// The list icons: a "T" for text items, a small picture for image items.
QList<QIcon> MakeListIcons() {
    QPixmap text(16, 16);
    text.fill(Qt::transparent);
    {
        QPainter p(&text);
        QFont f = p.font();
        f.setBold(true);
        f.setPixelSize(15);
        p.setFont(f);
        p.setPen(QColor(40, 70, 160));
        p.drawText(QRect(0, 0, 16, 16), Qt::AlignCenter, "T");
    }
    QPixmap image(16, 16);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setPen(QColor(60, 60, 60));
        p.setBrush(QColor(170, 210, 240));
        p.drawRect(1, 2, 13, 11);
        p.setBrush(QColor(60, 150, 60));
        const QPoint hill[] = {{2, 12}, {6, 7}, {9, 10}, {11, 8}, {14, 12}};
        p.drawPolygon(hill, 5);
    }
    return {QIcon(text), QIcon(image)};
}

QLabel* Caption(const char* text) {
    return new QLabel(text);
}

} // namespace

TfrmMain::TfrmMain(QWidget* parent) : QMainWindow(parent) {
    MessageBox = ModalMessageBox(this);
    CreateControls();
    CreateMenu();
    ConnectHandlers();
    FormCreate();
}

TfrmMain::~TfrmMain() {
    // The base destructors still dispatch events (children going away); none may reach the
    // handlers of a window that is no longer a TfrmMain.
    edt1->removeEventFilter(this);
    delete ApplicationEvents1;
    ApplicationEvents1 = nullptr;
    if (GlobalObject() == FGlobal.get()) SetGlobalObject(nullptr);
    if (frmMain == this) frmMain = nullptr;
}

void TfrmMain::CreateControls() {
    auto* central = new QWidget;
    central->setObjectName("ClientArea");
    central->setFixedSize(kClientWidth, kClientHeight);
    setCentralWidget(central);

    // ---- left: preview, position, source video, output ----
    ImgView = Named(new TImgView, "ImgView");
    imgPreview = Named(new QWidget, "imgPreview");
    imgPreview->setAutoFillBackground(true);
    {
        QPalette pal = imgPreview->palette();
        pal.setColor(QPalette::Window, Qt::black);
        imgPreview->setPalette(pal);
    }
    // The player renders into imgPreview; it stays hidden behind the view.
    auto* preview = new QWidget;
    preview->setFixedSize(560, 380);
    auto* preview_layout = new QGridLayout(preview);
    preview_layout->setContentsMargins(0, 0, 0, 0);
    preview_layout->addWidget(imgPreview, 0, 0);
    preview_layout->addWidget(ImgView, 0, 0);
    imgPreview->hide();

    trcPreview = Bar("trcPreview", 0, 0);
    lblPTS = Named(new QLabel("Time: 00:00:00"), "lblPTS");
    btnPause = Button("btnPause", "Pause");
    auto* play_row = new QHBoxLayout;
    play_row->addWidget(lblPTS);
    play_row->addStretch();
    play_row->addWidget(btnPause);

    btnAddVideo = Button("btnAddVideo", "Add Video");
    edtVideoFile = Edit("edtVideoFile", true);
    lblDuration = Named(new QLabel("00:00:00:"), "lblDuration");
    lblDuration->setMinimumWidth(90);
    auto* video_box = new QGroupBox("Video");
    auto* video_row = new QHBoxLayout(video_box);
    video_row->addWidget(btnAddVideo);
    video_row->addWidget(edtVideoFile, 1);
    video_row->addWidget(Caption("Duration:"));
    video_row->addWidget(lblDuration);

    cboVideoFormat = Named(new QComboBox, "cboVideoFormat");
    cboVideoFormat->setMaxVisibleItems(16);
    cboVideoFormat->setMinimumWidth(100);
    cboFrameSize = Named(new QComboBox, "cboFrameSize");
    cboFrameSize->setMaxVisibleItems(16);
    cboFrameSize->setMinimumWidth(170);
    edDirectory = Edit("edDirectory", true);
    btn_output = Button("btn_output", "...");
    btn_output->setFixedWidth(32);
    btnOpen = Button("btnOpen", "Open");
    auto* output_box = new QGroupBox("Output");
    auto* output_grid = new QGridLayout(output_box);
    output_grid->addWidget(Caption("Format:"), 0, 0);
    auto* format_row = new QHBoxLayout;
    format_row->addWidget(cboVideoFormat);
    format_row->addSpacing(16);
    format_row->addWidget(Caption("Frame size:"));
    format_row->addWidget(cboFrameSize);
    format_row->addStretch();
    output_grid->addLayout(format_row, 0, 1);
    output_grid->addWidget(Caption("Folder:"), 1, 0);
    auto* folder_row = new QHBoxLayout;
    folder_row->addWidget(edDirectory, 1);
    folder_row->addWidget(btn_output);
    folder_row->addWidget(btnOpen);
    output_grid->addLayout(folder_row, 1, 1);

    auto* left = new QVBoxLayout;
    left->setSpacing(6);
    left->addWidget(preview);
    left->addWidget(trcPreview);
    left->addLayout(play_row);
    left->addWidget(video_box);
    left->addWidget(output_box);
    left->addStretch();

    // ---- right: watermark list and its editing controls ----
    lsbox = Named(new QListWidget, "lsbox");
    lsbox->setItemDelegate(new TFixedHeightDelegate(24, lsbox));
    lsbox->setUniformItemSizes(true);
    lsbox->setFixedHeight(150);
    edt1 = Named(new QLineEdit(lsbox), "edt1");
    edt1->hide();
    btnAddText = Button("btnAddText", "Add Text");
    btnAddImage = Button("btnAddImage", "Add Image");
    btnDelete = Button("btnDelete", "Delete");
    btnUp = Button("btnUp", "Up");
    btnDown = Button("btnDown", "Down");
    // The list with its buttons in a column beside it.
    auto* list_box = new QGroupBox("Watermarks");
    auto* list_layout = new QHBoxLayout(list_box);
    list_layout->addWidget(lsbox, 1);
    auto* list_buttons = new QVBoxLayout;
    list_buttons->setSpacing(3);
    for (QPushButton* b : {btnAddText, btnAddImage, btnDelete, btnUp, btnDown})
        list_buttons->addWidget(b);
    list_buttons->addStretch();
    list_layout->addLayout(list_buttons);

    trcTextHoriz = Bar("trcTextHoriz", 0, 100);
    trcTextVert = Bar("trcTextVert", 0, 100);
    trcTextTran = Bar("trcTextTran", 0, 255);
    edtTextHoriz = Edit("edtTextHoriz", false, "0");
    edtTextVert = Edit("edtTextVert", false, "0");
    edtTextTran = Edit("edtTextTran", false, "0");
    for (QLineEdit* e : {edtTextHoriz, edtTextVert, edtTextTran})
        e->setFixedWidth(48);
    trcRange = Named(new TTrackBar2, "trcRange");
    trcRange->SetMax(20);
    trcRange->SetPositions(0, 20);
    edtStart = Edit("edtStart", true, "0");
    edtEnd = Edit("edtEnd", true, "0");
    for (QLineEdit* e : {edtStart, edtEnd})
        e->setFixedWidth(72);
    btnStartUp = Named(new TArrowButton(Qt::UpArrow), "btnStartUp");
    btnStartDown = Named(new TArrowButton(Qt::DownArrow), "btnStartDown");
    btnEndUp = Named(new TArrowButton(Qt::UpArrow), "btnEndUp");
    btnEndDown = Named(new TArrowButton(Qt::DownArrow), "btnEndDown");
    auto arrows = [](TArrowButton* up, TArrowButton* down) {
        auto* column = new QVBoxLayout;
        column->setSpacing(0);
        column->addWidget(up);
        column->addWidget(down);
        return column;
    };
    auto* place_box = new QGroupBox("Position, opacity and time");
    auto* place_grid = new QGridLayout(place_box);
    place_grid->setVerticalSpacing(4);
    place_grid->addWidget(Caption("Horizontal:"), 0, 0);
    place_grid->addWidget(trcTextHoriz, 0, 1);
    place_grid->addWidget(edtTextHoriz, 0, 2);
    place_grid->addWidget(Caption("Vertical:"), 1, 0);
    place_grid->addWidget(trcTextVert, 1, 1);
    place_grid->addWidget(edtTextVert, 1, 2);
    place_grid->addWidget(Caption("Opacity:"), 2, 0);
    place_grid->addWidget(trcTextTran, 2, 1);
    place_grid->addWidget(edtTextTran, 2, 2);
    place_grid->addWidget(Caption("Time period:"), 3, 0);
    place_grid->addWidget(trcRange, 3, 1, 1, 2);
    auto* period_row = new QHBoxLayout;
    period_row->addWidget(Caption("Start:"));
    period_row->addWidget(edtStart);
    period_row->addLayout(arrows(btnStartUp, btnStartDown));
    period_row->addStretch();
    period_row->addWidget(Caption("End:"));
    period_row->addWidget(edtEnd);
    period_row->addLayout(arrows(btnEndUp, btnEndDown));
    place_grid->addLayout(period_row, 4, 0, 1, 3);

    rb1 = Named(new QRadioButton("Background color"), "rb1");
    rb2 = Named(new QRadioButton("Transparent"), "rb2");
    suiColorBoxbackground = Named(new TColorBox, "suiColorBoxbackground");
    suiColorBoxcmb = Named(new TColorBox, "suiColorBoxcmb");
    for (TColorBox* box : {suiColorBoxbackground, suiColorBoxcmb}) {
        box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        box->setMinimumContentsLength(6);
    }
    suiFontCmb = Named(new QFontComboBox, "suiFontCmb");
    suiFontCmb->setMinimumWidth(0);
    suiFontCmb->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    suiFontCmb->setMinimumContentsLength(10);
    suiFontSizeCmb = Named(new QComboBox, "suiFontSizeCmb");
    suiFontSizeCmb->setMaxVisibleItems(16);
    suiChkBold = Named(new QCheckBox("Bold"), "suiChkBold");
    suiChkItalic = Named(new QCheckBox("Italic"), "suiChkItalic");
    suiChkUnderline = Named(new QCheckBox("Underline"), "suiChkUnderline");
    suiChkStrikeOut = Named(new QCheckBox("Strikeout"), "suiChkStrikeOut");
    auto* font_box = new QGroupBox("Background and font");
    auto* font_grid = new QGridLayout(font_box);
    font_grid->setVerticalSpacing(4);
    auto* background_row = new QHBoxLayout;
    background_row->addWidget(rb1);
    background_row->addWidget(rb2);
    background_row->addStretch();
    font_grid->addLayout(background_row, 0, 0, 1, 4);
    font_grid->addWidget(Caption("Background:"), 1, 0);
    font_grid->addWidget(suiColorBoxbackground, 1, 1, 1, 3);
    font_grid->addWidget(Caption("Font:"), 2, 0);
    font_grid->addWidget(suiFontCmb, 2, 1, 1, 3);
    font_grid->addWidget(Caption("Size:"), 3, 0);
    font_grid->addWidget(suiFontSizeCmb, 3, 1);
    font_grid->addWidget(Caption("Color:"), 3, 2, Qt::AlignRight);
    font_grid->addWidget(suiColorBoxcmb, 3, 3);
    auto* style_row = new QHBoxLayout;
    for (QCheckBox* c : {suiChkBold, suiChkItalic, suiChkUnderline, suiChkStrikeOut})
        style_row->addWidget(c);
    font_grid->addLayout(style_row, 4, 0, 1, 4);
    font_grid->setColumnStretch(3, 1);

    // Hidden helpers: the opacity carrier and the player's error texts.
    LayerOpacity = Bar("LayerOpacity", 0, 255);
    LayerOpacity->setValue(255);
    LayerOpacity->setParent(central);
    LayerOpacity->hide();
    mmoLog = Named(new QPlainTextEdit, "mmoLog");
    mmoLog->setParent(central);
    mmoLog->hide();

    imgbtnfc = ShareButton("imgbtnfc", "Facebook", "f", QColor(59, 89, 152));
    imgbtngoogle = ShareButton("imgbtngoogle", "Google", "g", QColor(211, 72, 54));
    imgbtntw = ShareButton("imgbtntw", "Twitter", "t", QColor(29, 161, 242));
    imgbtndelicious = ShareButton("imgbtndelicious", "Delicious", "d", QColor(50, 120, 210));
    imgbtndigg = ShareButton("imgbtndigg", "Digg", "D", QColor(20, 20, 20));
    imgbtnstumbleupon = ShareButton("imgbtnstumbleupon", "Stumbleupon", "s", QColor(235, 73, 36));
    imgbtnreddit = ShareButton("imgbtnreddit", "Reddit", "r", QColor(255, 69, 0));
    auto* share_row = new QHBoxLayout;
    share_row->setSpacing(2);
    share_row->addWidget(Caption("Share:"));
    for (QToolButton* b : {imgbtnfc, imgbtngoogle, imgbtntw, imgbtndelicious, imgbtndigg,
                           imgbtnstumbleupon, imgbtnreddit})
        share_row->addWidget(b);
    share_row->addStretch();

    btnStart = Button("btnStart", "Convert");
    btnCancel = Button("btnCancel", "Exit");
    btnHelp = Button("btnHelp", "Help");
    btnStart->setDefault(true);
    btnStart->setMinimumHeight(30);
    auto* action_row = new QHBoxLayout;
    action_row->addWidget(btnStart, 2);
    action_row->addWidget(btnCancel, 1);
    action_row->addWidget(btnHelp, 1);

    auto* right = new QVBoxLayout;
    right->setSpacing(6);
    right->addWidget(list_box);
    right->addWidget(place_box);
    right->addWidget(font_box);
    right->addStretch();
    right->addLayout(share_row);
    right->addLayout(action_row);

    auto* right_panel = new QWidget;
    right_panel->setFixedWidth(kClientWidth - 560 - 3 * 8);
    right_panel->setLayout(right);
    right->setContentsMargins(0, 0, 0, 0);

    auto* columns = new QHBoxLayout(central);
    columns->setContentsMargins(8, 8, 8, 8);
    columns->setSpacing(8);
    columns->addLayout(left);
    columns->addWidget(right_panel);

    // Non-visual parts.
    OpenDialog1 = Named(new QFileDialog(this), "OpenDialog1");
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenDialog1->setNameFilter(
        "Video Files (*.AVI *.AVM *.ASF *.WMV *.AVS *.FLV *.MKV *.MOV *.3GP *.3G2 *.M4V *.MP4 "
        "*.MPG *.MPEG *.DAT *.OGM *.VOB *.RM *.RMVB *.TS *.TP *.IFO *.NSV *.SWF)");
    dlgOpen1 = Named(new QFileDialog(this), "dlgOpen1");
    dlgOpen1->setFileMode(QFileDialog::ExistingFile);
    dlgOpen1->setNameFilter("Bitmap files (*.bmp)");
    ImageList2 = MakeListIcons();
    ApplicationEvents1 = Named(new TApplicationEvents(this), "ApplicationEvents1");
}

void TfrmMain::CreateMenu() {
    QMenu* help = menuBar()->addMenu("Help");
    help->setObjectName("Help0");
    About1 = help->addAction("About");
    About1->setObjectName("About1");
    Help1 = help->addAction(" Help ");
    Help1->setObjectName("Help1");
    WebSite1 = help->addAction("Velloran Web Site");
    WebSite1->setObjectName("WebSite1");

    // Pages of the maker's other products; their entries open with the side windows.
    QMenu* related = menuBar()->addMenu("Related software");
    related->setObjectName("Relatedsoftware1");
    related->addAction("Velloran Video Converter")->setObjectName("VideoConverter1");
    QMenu* freeware = menuBar()->addMenu(" Freeware Downlaod");
    freeware->setObjectName("FreewareDownlaod1");
    freeware->addAction("Velloran Free Video Tools")->setObjectName("FreeVideoTools1");
}

void TfrmMain::ConnectHandlers() {
    auto click = [this](QAbstractButton* b, void (TfrmMain::*handler)()) {
        connect(b, &QAbstractButton::clicked, this, handler);
    };
    click(btnAddVideo, &TfrmMain::btnAddVideoClick);
    click(btn_output, &TfrmMain::btn_outputClick);
    click(btnOpen, &TfrmMain::btnOpenClick);
    click(btnPause, &TfrmMain::btnPauseClick);
    click(btnAddText, &TfrmMain::btnAddTextClick);
    click(btnAddImage, &TfrmMain::btnAddImageClick);
    click(btnDelete, &TfrmMain::btnDeleteClick);
    click(btnUp, &TfrmMain::btnUpClick);
    click(btnDown, &TfrmMain::btnDownClick);
    click(btnStartUp, &TfrmMain::btnStartUpClick);
    click(btnStartDown, &TfrmMain::btnStartDownClick);
    click(btnEndUp, &TfrmMain::btnEndUpClick);
    click(btnEndDown, &TfrmMain::btnEndDownClick);
    click(btnStart, &TfrmMain::btnStartClick);
    click(btnCancel, &TfrmMain::btnCancelClick);
    click(imgbtnfc, &TfrmMain::imgbtnfcClick);
    click(imgbtngoogle, &TfrmMain::imgbtngoogleClick);
    click(imgbtntw, &TfrmMain::imgbtntwClick);
    click(imgbtndelicious, &TfrmMain::imgbtndeliciousClick);
    click(imgbtndigg, &TfrmMain::imgbtndiggClick);
    click(imgbtnstumbleupon, &TfrmMain::imgbtnstumbleuponClick);
    click(imgbtnreddit, &TfrmMain::imgbtnredditClick);
    // Check boxes report every change of state, also one made by code; radio buttons report
    // the one that became checked.
    connect(suiChkBold, &QCheckBox::toggled, this, &TfrmMain::suiChkBoldClick);
    connect(suiChkItalic, &QCheckBox::toggled, this, &TfrmMain::suiChkItalicClick);
    connect(suiChkUnderline, &QCheckBox::toggled, this, &TfrmMain::suiChkUnderlineClick);
    connect(suiChkStrikeOut, &QCheckBox::toggled, this, &TfrmMain::suiChkStrikeOutClick);
    connect(rb1, &QRadioButton::toggled, this, [this](bool on) {
        if (on) rb1Click();
    });
    connect(rb2, &QRadioButton::toggled, this, [this](bool on) {
        if (on) rb2Click();
    });

    // Lists report the user's choice only; bars report every change of position.
    connect(cboVideoFormat, &QComboBox::activated, this, &TfrmMain::cboVideoFormatChange);
    connect(suiColorBoxbackground, &QComboBox::activated, this,
            &TfrmMain::suiColorBoxbackgroundChange);
    connect(suiColorBoxcmb, &QComboBox::activated, this, &TfrmMain::suiColorBoxcmbChange);
    connect(suiFontCmb, &QComboBox::activated, this, &TfrmMain::suiFontCmbChange);
    connect(suiFontSizeCmb, &QComboBox::activated, this, &TfrmMain::suiFontSizeCmbChange);
    connect(trcTextHoriz, &QSlider::valueChanged, this, &TfrmMain::trcTextHorizChange);
    connect(trcTextVert, &QSlider::valueChanged, this, &TfrmMain::trcTextVertChange);
    connect(trcTextTran, &QSlider::valueChanged, this, &TfrmMain::trcTextTranChange);
    connect(LayerOpacity, &QSlider::valueChanged, this, &TfrmMain::LayerOpacityChange);
    connect(trcRange, &TTrackBar2::OnChange, this, &TfrmMain::trcRangeChange);

    connect(lsbox, &QListWidget::itemClicked, this, &TfrmMain::lsboxClick);
    connect(lsbox, &QListWidget::itemDoubleClicked, this, &TfrmMain::lsboxDblClick);
    connect(edt1, &QLineEdit::textChanged, this, &TfrmMain::edt1Change);
    edt1->installEventFilter(this);

    connect(About1, &QAction::triggered, this, &TfrmMain::About1Click);
    connect(Help1, &QAction::triggered, this, &TfrmMain::Help1Click);
    connect(WebSite1, &QAction::triggered, this, &TfrmMain::WebSite1Click);

    ApplicationEvents1->OnMessage = [this](QObject* receiver, QEvent* event, bool& handled) {
        ApplicationEvents1Message(receiver, event, handled);
    };
}

// ---- start-up and settings ----

void TfrmMain::FormCreate() {
    FGlobal = std::make_unique<TGlobalObject>();
    SetGlobalObject(FGlobal.get());
    const std::string base = FGlobal->GetSpecialFolder(35);
    FGlobal->SetIniFileName(base + "velloranfree/velloran.ini");
    if (!DirectoryExists(base + "velloranfree")) ForceDirectories(base + "velloranfree");
    FGlobal->SetProductTitle("Velloran Free ");
    FGlobal->SetVersionText(FGlobal->GetFileVersionText());
    FGlobal->SetProductPageUrl(kProductPageUrl);

    // Fixed size: the client area below the menu, centred on the desktop.
    setFixedSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect r(QPoint(0, 0), size());
        r.moveCenter(screen->availableGeometry().center());
        move(r.topLeft());
    }
}

void TfrmMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // Spontaneous shows come from the window system (e.g. restoring from the task bar).
    if (!event->spontaneous()) FormShow();
}

void TfrmMain::FormShow() {
    suiFontSizeCmb->clear();
    for (int size = 7; size <= 70; ++size)
        suiFontSizeCmb->addItem(QString::number(size));
    FListBusy = false;

    // The preview's layers and its background stage come with the layered image view; with
    // none there is nothing selected and no selection frame.
    FSelectedLayer = nullptr;
    FRubberBand = nullptr;

    trcTextHoriz->setRange(0, 100);
    trcTextVert->setRange(0, 100);

    if (lsbox->count() == 0) {
        suiFontCmb->setCurrentIndex(0);
        suiFontSizeCmb->setCurrentIndex(19);
        suiColorBoxcmb->setCurrentIndex(12);
        suiColorBoxbackground->setCurrentIndex(2);
        trcTextTran->setValue(125);
        rb1->setChecked(true);
        FormVCLEnabled(false);
        FormButtonEnabled(false);
    } else {
        FormVCLEnabled(true);
        FormButtonEnabled(true);
    }

    setWindowTitle(
        QString::fromStdString(FGlobal->ProductTitle() + " ver" + FGlobal->VersionText()));

    TIniFile ini(FGlobal->IniFileName());
    std::string dir = ini.ReadString(kSettingsSection, kKeyOutputDir, DefaultOutputFolder());
    if (!FGlobal->IsFolderWritable(dir)) {
        dir = UserOutputFolder();
        WriteSetting(kKeyOutputDir, dir);
    }
    // A folder that cannot be created is still shown; the conversion checks it again.
    if (!DirectoryExists(dir)) ForceDirectories(dir);
    edDirectory->setText(QString::fromStdString(dir));

    cboVideoFormat->clear();
    for (const std::string& name : OutputFormatNames())
        cboVideoFormat->addItem(QString::fromStdString(name));
    int format_index =
        TIniFile(FGlobal->IniFileName()).ReadInteger(kSettingsSection, kKeyOutputFormatIndex, 0);
    // A stored index outside the list would leave no format chosen.
    if (format_index < 0 || format_index >= cboVideoFormat->count()) format_index = 0;
    cboVideoFormat->setCurrentIndex(format_index);

    FillFrameSizes();
}

void TfrmMain::FillFrameSizes() {
    const int stored =
        TIniFile(FGlobal->IniFileName()).ReadInteger(kSettingsSection, kKeyFrameSizeIndex, 0);
    const std::string format = cboVideoFormat->currentText().toStdString();
    cboFrameSize->clear();
    for (const std::string& entry : FrameSizeEntries(format))
        cboFrameSize->addItem(QString::fromStdString(entry));
    cboFrameSize->setCurrentIndex(FrameSizeSelection(format, stored));
}

void TfrmMain::cboVideoFormatChange() {
    WriteSetting(kKeyOutputFormatIndex, cboVideoFormat->currentIndex());
    FillFrameSizes();
}

void TfrmMain::WriteSetting(const char* key, const std::string& value) {
    try {
        TIniFile(FGlobal->IniFileName()).WriteString(kSettingsSection, key, value);
    } catch (const Exception&) {
        // A settings file that cannot be written must not stop the window; the next read
        // gives the default again.
    }
}

void TfrmMain::WriteSetting(const char* key, int value) {
    try {
        TIniFile(FGlobal->IniFileName()).WriteInteger(kSettingsSection, key, value);
    } catch (const Exception&) {
        // As above.
    }
}

bool TfrmMain::FormCloseQuery() {
    if (MessageBox("Do you really want to exit?", "Warning", TMsgButtons::YesNo,
                   TMsgIcon::Question) != mrYes)
        return false;
    ShutDownPreview();
    return true;
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    if (FormCloseQuery())
        event->accept();
    else
        event->ignore();
}

void TfrmMain::btnCancelClick() {
    close();
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == edt1 && event->type() == QEvent::FocusOut) edt1Exit();
    return QMainWindow::eventFilter(watched, event);
}

void TfrmMain::FormVCLEnabled(bool enabled) {
    for (QWidget* w : std::initializer_list<QWidget*>{trcTextHoriz,
                                                      trcTextVert,
                                                      trcTextTran,
                                                      edtTextHoriz,
                                                      edtTextVert,
                                                      edtTextTran,
                                                      trcRange,
                                                      edtStart,
                                                      edtEnd,
                                                      btnStartUp,
                                                      btnStartDown,
                                                      btnEndUp,
                                                      btnEndDown,
                                                      rb1,
                                                      rb2,
                                                      suiColorBoxbackground,
                                                      suiColorBoxcmb,
                                                      suiFontCmb,
                                                      suiFontSizeCmb,
                                                      suiChkBold,
                                                      suiChkItalic,
                                                      suiChkUnderline,
                                                      suiChkStrikeOut,
                                                      btnStart,
                                                      btnPause,
                                                      trcPreview})
        w->setEnabled(enabled);
}

void TfrmMain::FormButtonEnabled(bool enabled) {
    for (QWidget* w : {btnAddText, btnAddImage, btnDelete, btnUp, btnDown})
        w->setEnabled(enabled);
}

// ---- handlers filled in with the watermark items, the conversion, the preview and the side
// windows ----

void TfrmMain::btnAddTextClick() {}
void TfrmMain::btnAddImageClick() {}
void TfrmMain::btnDeleteClick() {}
void TfrmMain::btnUpClick() {}
void TfrmMain::btnDownClick() {}
void TfrmMain::lsboxClick() {}
void TfrmMain::lsboxDblClick() {}
void TfrmMain::edt1Change() {}
void TfrmMain::edt1Exit() {}
void TfrmMain::trcTextHorizChange() {}
void TfrmMain::trcTextVertChange() {}
void TfrmMain::trcTextTranChange() {}
void TfrmMain::LayerOpacityChange() {}
void TfrmMain::trcRangeChange() {}
void TfrmMain::btnStartUpClick() {}
void TfrmMain::btnStartDownClick() {}
void TfrmMain::btnEndUpClick() {}
void TfrmMain::btnEndDownClick() {}
void TfrmMain::rb1Click() {}
void TfrmMain::rb2Click() {}
void TfrmMain::suiColorBoxbackgroundChange() {}
void TfrmMain::suiColorBoxcmbChange() {}
void TfrmMain::suiFontCmbChange() {}
void TfrmMain::suiFontSizeCmbChange() {}
void TfrmMain::suiChkBoldClick() {}
void TfrmMain::suiChkItalicClick() {}
void TfrmMain::suiChkUnderlineClick() {}
void TfrmMain::suiChkStrikeOutClick() {}

void TfrmMain::btnStartClick() {}

void TfrmMain::btnAddVideoClick() {}
void TfrmMain::btnPauseClick() {}
void TfrmMain::ApplicationEvents1Message(QObject*, QEvent*, bool&) {}
// Nothing plays before the preview exists, so there is nothing to shut down yet.
void TfrmMain::ShutDownPreview() {}

void TfrmMain::btn_outputClick() {}
void TfrmMain::btnOpenClick() {}
void TfrmMain::About1Click() {}
void TfrmMain::Help1Click() {}
void TfrmMain::WebSite1Click() {}
void TfrmMain::imgbtnfcClick() {}
void TfrmMain::imgbtngoogleClick() {}
void TfrmMain::imgbtntwClick() {}
void TfrmMain::imgbtndeliciousClick() {}
void TfrmMain::imgbtndiggClick() {}
void TfrmMain::imgbtnstumbleuponClick() {}
void TfrmMain::imgbtnredditClick() {}
