// The main window at start: its controls, settings, format and frame size lists, exit question.
#include "TestFolders.h"

#include "app/winmain.h"
#include "platform/IniFile.h"
#include "platform/OSServices.h"

#include <QAction>
#include <QCheckBox>
#include <QFontComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QToolButton>

#include <memory>

namespace {

struct TAsked {
    std::string text, caption;
    TMsgButtons buttons;
    TMsgIcon icon;
};

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The default output folder can never exist: its name is taken by a file.
        TTestFolders::Touch(folders.home + "/velloran");
    }

    // Creates and shows the window; message boxes answer `answer`.
    TfrmMain& Open() {
        window = std::make_unique<TfrmMain>();
        window->MessageBox = [this](const std::string& text, const std::string& caption,
                                    TMsgButtons buttons, TMsgIcon icon) {
            asked.push_back({text, caption, buttons, icon});
            return answer;
        };
        window->show();
        return *window;
    }

    std::string Setting(const char* key) const {
        return TIniFile(folders.SettingsFile()).ReadString("settings", key, "<none>");
    }

    static QStringList Items(const QComboBox* box) {
        QStringList items;
        for (int i = 0; i < box->count(); ++i)
            items << box->itemText(i);
        return items;
    }

    TTestFolders folders;
    std::unique_ptr<TfrmMain> window;
    std::vector<TAsked> asked;
    int answer = mrNo;
};

TEST_F(MainWindowTest, FirstStartStoresThePerUserFolder) {
    window = std::make_unique<TfrmMain>();
    EXPECT_TRUE(DirectoryExists(folders.config + "/velloranfree")) << "made at creation";
    EXPECT_EQ(window->Global().IniFileName(), folders.SettingsFile());

    TfrmMain& w = Open();
    const std::string per_user = folders.home + "/velloranfree";
    EXPECT_EQ(w.edDirectory->text().toStdString(), per_user);
    EXPECT_TRUE(DirectoryExists(per_user));
    EXPECT_EQ(Setting("OutPutDir"), per_user);
    EXPECT_TRUE(asked.empty()) << "the fallback is silent";
}

TEST_F(MainWindowTest, WritableStoredFolderIsKept) {
    const std::string out = folders.home + "/my out";
    ForceDirectories(out);
    folders.WriteSettings("[settings]\nOutPutDir=" + out + "\n");
    EXPECT_EQ(Open().edDirectory->text().toStdString(), out);
    EXPECT_EQ(Setting("OutPutDir"), out);
}

TEST_F(MainWindowTest, StartStateAndTitle) {
    TfrmMain& w = Open();
    EXPECT_EQ(w.windowTitle(), "Velloran Free  ver 1.101 "); // project version 1.1.0.1
    EXPECT_EQ(w.centralWidget()->size(), QSize(919, 635));
    EXPECT_EQ(w.minimumSize(), w.maximumSize()) << "fixed size";

    // Nothing but the video, the output settings and the menus before a video is open.
    for (const char* name : {"trcTextHoriz",
                             "trcTextVert",
                             "trcTextTran",
                             "edtTextHoriz",
                             "edtTextVert",
                             "edtTextTran",
                             "trcRange",
                             "edtStart",
                             "edtEnd",
                             "btnStartUp",
                             "btnStartDown",
                             "btnEndUp",
                             "btnEndDown",
                             "rb1",
                             "rb2",
                             "suiColorBoxbackground",
                             "suiColorBoxcmb",
                             "suiFontCmb",
                             "suiFontSizeCmb",
                             "suiChkBold",
                             "suiChkItalic",
                             "suiChkUnderline",
                             "suiChkStrikeOut",
                             "btnStart",
                             "btnPause",
                             "trcPreview",
                             "btnAddText",
                             "btnAddImage",
                             "btnDelete",
                             "btnUp",
                             "btnDown"}) {
        QWidget* c = w.findChild<QWidget*>(name);
        ASSERT_NE(c, nullptr) << name;
        EXPECT_FALSE(c->isEnabled()) << name;
    }
    for (const char* name : {"btnAddVideo", "cboVideoFormat", "cboFrameSize", "btn_output",
                             "btnOpen", "btnCancel", "btnHelp"})
        EXPECT_TRUE(w.findChild<QWidget*>(name)->isEnabled()) << name;

    // Defaults of the text controls for the first item.
    ASSERT_EQ(w.suiFontSizeCmb->count(), 64);
    EXPECT_EQ(w.suiFontSizeCmb->itemText(0), "7");
    EXPECT_EQ(w.suiFontSizeCmb->itemText(63), "70");
    EXPECT_EQ(w.suiFontSizeCmb->currentText(), "26");
    EXPECT_EQ(w.suiColorBoxcmb->Selected(), QColor(0, 0, 255));
    EXPECT_EQ(w.suiColorBoxbackground->Selected(), QColor(0, 128, 0));
    EXPECT_EQ(w.suiFontCmb->currentIndex(), 0);
    EXPECT_EQ(w.trcTextTran->value(), 125);
    EXPECT_TRUE(w.rb1->isChecked());
    EXPECT_EQ(w.trcTextHoriz->maximum(), 100);
    EXPECT_EQ(w.trcTextVert->maximum(), 100);
}

TEST_F(MainWindowTest, StoredFormatAndFrameSize) {
    struct Row {
        const char* settings;
        const char* format;
        int sizes;
        const char* size; // "" = no entry selected
    } rows[] = {
        {"", "3GP", 4, "128x96 - sqcif"},
        {"outputformatindex=5\n", "MOV", 29, "Auto - Original"},
        {"outputformatindex=5\nframesizeindex=28\n", "MOV", 29, "1920x1080 - hd1080"},
        {"outputformatindex=0\nframesizeindex=28\n", "3GP", 4, "128x96 - sqcif"},
        {"outputformatindex=0\nframesizeindex=3\n", "3GP", 4, "704x576 - 4cif"},
        {"outputformatindex=15\nframesizeindex=29\n", "M2V", 29, ""},
        {"outputformatindex=16\n", "3GP", 4, "128x96 - sqcif"},
        {"outputformatindex=-1\nframesizeindex=1\n", "3GP", 4, "176x144 - qcif"},
        {"outputformatindex=junk\n", "3GP", 4, "128x96 - sqcif"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.settings);
        folders.WriteSettings(std::string("[settings]\n") + r.settings);
        TfrmMain& w = Open();
        EXPECT_EQ(Items(w.cboVideoFormat),
                  QStringList({"3GP", "AVI", "FLV", "iPod", "MKV", "MOV", "MP4", "OGG", "PSP",
                               "RM10", "RM20", "SWF", "WMV", "WebM", "M1V", "M2V"}));
        EXPECT_EQ(w.cboVideoFormat->currentText(), r.format);
        EXPECT_EQ(w.cboFrameSize->count(), r.sizes);
        EXPECT_EQ(w.cboFrameSize->currentText(), r.size);
    }
}

TEST_F(MainWindowTest, ChoosingAFormatStoresItAndRebuildsSizes) {
    folders.WriteSettings("[settings]\nframesizeindex=2\n");
    TfrmMain& w = Open();

    // The user's choice arrives as "activated".
    w.cboVideoFormat->setCurrentIndex(5);
    emit w.cboVideoFormat->activated(5);
    EXPECT_EQ(Setting("outputformatindex"), "5");
    EXPECT_EQ(w.cboFrameSize->count(), 29);
    EXPECT_EQ(w.cboFrameSize->currentText(), "176x144 - qcif");

    w.cboFrameSize->setCurrentIndex(10);
    w.cboVideoFormat->setCurrentIndex(0);
    emit w.cboVideoFormat->activated(0);
    EXPECT_EQ(Setting("outputformatindex"), "0");
    EXPECT_EQ(Items(w.cboFrameSize),
              QStringList({"128x96 - sqcif", "176x144 - qcif", "352x288 - cif", "704x576 - 4cif"}));
    EXPECT_EQ(w.cboFrameSize->currentText(), "352x288 - cif") << "from the file, not the list";
    EXPECT_EQ(Setting("framesizeindex"), "2") << "the frame size choice is never stored";
}

TEST_F(MainWindowTest, ExitAsksFirst) {
    TfrmMain& w = Open();
    answer = mrNo;
    w.btnCancel->click();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].text, "Do you really want to exit?");
    EXPECT_EQ(asked[0].caption, "Warning");
    EXPECT_EQ(asked[0].buttons, TMsgButtons::YesNo);
    EXPECT_EQ(asked[0].icon, TMsgIcon::Question);
    EXPECT_TRUE(w.isVisible()) << "No keeps the window";

    answer = mrYes;
    w.btnCancel->click();
    EXPECT_EQ(asked.size(), 2u);
    EXPECT_FALSE(w.isVisible());
}

// Every control the other windows and handlers rely on, by name, kind and caption.
TEST_F(MainWindowTest, Controls) {
    TfrmMain& w = Open();
    struct Row {
        const char* name;
        const char* kind;
        const char* caption; // nullptr: no caption to check
        bool hidden;
    } rows[] = {
        {"btnAddVideo", "QPushButton", "Add Video", false},
        {"edtVideoFile", "QLineEdit", "", false},
        {"lblDuration", "QLabel", "00:00:00:", false},
        {"cboFrameSize", "QComboBox", nullptr, false},
        {"cboVideoFormat", "QComboBox", nullptr, false},
        {"edDirectory", "QLineEdit", nullptr, false},
        {"btn_output", "QPushButton", "...", false},
        {"btnOpen", "QPushButton", "Open", false},
        {"ImgView", "TImgView", nullptr, false},
        {"imgPreview", "QWidget", nullptr, true},
        {"trcPreview", "QSlider", nullptr, false},
        {"lblPTS", "QLabel", "Time: 00:00:00", false},
        {"btnPause", "QPushButton", "Pause", false},
        {"lsbox", "QListWidget", nullptr, false},
        {"btnAddText", "QPushButton", "Add Text", false},
        {"btnAddImage", "QPushButton", "Add Image", false},
        {"btnDelete", "QPushButton", "Delete", false},
        {"btnUp", "QPushButton", "Up", false},
        {"btnDown", "QPushButton", "Down", false},
        {"trcTextHoriz", "QSlider", nullptr, false},
        {"trcTextVert", "QSlider", nullptr, false},
        {"edtTextHoriz", "QLineEdit", nullptr, false},
        {"edtTextVert", "QLineEdit", nullptr, false},
        {"trcTextTran", "QSlider", nullptr, false},
        {"edtTextTran", "QLineEdit", nullptr, false},
        {"trcRange", "TTrackBar2", nullptr, false},
        {"edtStart", "QLineEdit", "0", false},
        {"edtEnd", "QLineEdit", "0", false},
        {"btnStartUp", "TArrowButton", nullptr, false},
        {"btnStartDown", "TArrowButton", nullptr, false},
        {"btnEndUp", "TArrowButton", nullptr, false},
        {"btnEndDown", "TArrowButton", nullptr, false},
        {"rb1", "QRadioButton", "Background color", false},
        {"rb2", "QRadioButton", "Transparent", false},
        {"suiColorBoxbackground", "TColorBox", nullptr, false},
        {"suiColorBoxcmb", "TColorBox", nullptr, false},
        {"suiFontCmb", "QFontComboBox", nullptr, false},
        {"suiFontSizeCmb", "QComboBox", nullptr, false},
        {"suiChkBold", "QCheckBox", "Bold", false},
        {"suiChkItalic", "QCheckBox", "Italic", false},
        {"suiChkUnderline", "QCheckBox", "Underline", false},
        {"suiChkStrikeOut", "QCheckBox", "Strikeout", false},
        {"edt1", "QLineEdit", nullptr, true},
        {"LayerOpacity", "QSlider", nullptr, true},
        {"btnStart", "QPushButton", "Convert", false},
        {"btnCancel", "QPushButton", "Exit", false},
        {"btnHelp", "QPushButton", "Help", false},
        {"mmoLog", "QPlainTextEdit", nullptr, true},
        {"OpenDialog1", "QFileDialog", nullptr, true},
        {"dlgOpen1", "QFileDialog", nullptr, true},
        {"imgbtnfc", "QToolButton", nullptr, false},
        {"imgbtngoogle", "QToolButton", nullptr, false},
        {"imgbtntw", "QToolButton", nullptr, false},
        {"imgbtndelicious", "QToolButton", nullptr, false},
        {"imgbtndigg", "QToolButton", nullptr, false},
        {"imgbtnstumbleupon", "QToolButton", nullptr, false},
        {"imgbtnreddit", "QToolButton", nullptr, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        QWidget* c = w.findChild<QWidget*>(r.name);
        ASSERT_NE(c, nullptr);
        EXPECT_TRUE(c->inherits(r.kind)) << c->metaObject()->className();
        if (r.caption) {
            EXPECT_EQ(c->property("text").toString(), r.caption);
        }
        EXPECT_EQ(c->isHidden(), r.hidden);
    }

    // The settings the table gives.
    EXPECT_EQ(w.cboFrameSize->maxVisibleItems(), 16);
    for (QLineEdit* e : {w.edtVideoFile, w.edDirectory, w.edtStart, w.edtEnd})
        EXPECT_TRUE(e->isReadOnly()) << e->objectName().toStdString();
    EXPECT_EQ(w.imgPreview->palette().color(QPalette::Window), QColor(Qt::black));
    EXPECT_EQ(w.trcTextTran->minimum(), 0);
    EXPECT_EQ(w.trcTextTran->maximum(), 255);
    EXPECT_EQ(w.LayerOpacity->maximum(), 255);
    EXPECT_EQ(w.LayerOpacity->value(), 255);
    EXPECT_EQ(w.trcRange->Max(), 20);
    EXPECT_EQ(w.lsbox->sizeHintForRow(0), -1) << "empty list";
    w.lsbox->addItem("row");
    EXPECT_EQ(w.lsbox->sizeHintForRow(0), 24);
    EXPECT_EQ(w.ImageList2.size(), 2);

    const std::pair<const char*, const char*> hints[] = {
        {"imgbtnfc", "Facebook"},  {"imgbtngoogle", "Google"},
        {"imgbtntw", "Twitter"},   {"imgbtndelicious", "Delicious"},
        {"imgbtndigg", "Digg"},    {"imgbtnstumbleupon", "Stumbleupon"},
        {"imgbtnreddit", "Reddit"}};
    for (const auto& [name, hint] : hints) {
        auto* b = w.findChild<QToolButton*>(name);
        EXPECT_EQ(b->toolTip(), hint) << name;
        EXPECT_EQ(b->size(), QSize(32, 32)) << name;
    }

    const std::pair<const char*, const char*> menu[] = {
        {"About1", "About"}, {"Help1", " Help "}, {"WebSite1", nullptr}};
    for (const auto& [name, caption] : menu) {
        auto* a = w.findChild<QAction*>(name);
        ASSERT_NE(a, nullptr) << name;
        if (caption) {
            EXPECT_EQ(a->text(), caption) << name;
        }
    }
}

} // namespace
