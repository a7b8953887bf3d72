// Program start: the application, the main window, the progress window and the about box,
// then the message loop.
#include "app/WinAbout.h"
#include "app/progress.h"
#include "app/winmain.h"
#include "app/MainThreadHooks.h"

#include <QApplication>
#include <QTimer>

#include <cstring>
#include <string>

namespace {

// "--screenshot FILE": saves a picture of the main window once it is shown, then quits.
const char* ScreenshotFile(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--screenshot") == 0) return argv[i + 1];
    return nullptr;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Velloran");
    InstallMainThreadHooks();

    int result = 0;
    {
        TfrmMain main_window;
        frmMain = &main_window;
        TfrmProgress progress_window(&main_window);
        frmProgress = &progress_window;
        TfrmAbout1 about_box(&main_window);
        frmAbout1 = &about_box;

        main_window.show();
        if (const char* file = ScreenshotFile(argc, argv)) {
            const std::string path = file;
            // Give the window a moment to be laid out and painted, then grab it (menu bar
            // included) and leave without the exit question.
            QTimer::singleShot(500, &main_window, [&main_window, path] {
                const bool saved = main_window.grab().save(QString::fromStdString(path));
                QCoreApplication::exit(saved ? 0 : 1);
            });
        }
        result = app.exec();

        frmAbout1 = nullptr;
        frmProgress = nullptr;
        frmMain = nullptr;
    }
    RemoveMainThreadHooks();
    return result;
}
