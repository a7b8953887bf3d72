#include "app/MainThreadHooks.h"

#include "platform/MainThread.h"

#include <QCoreApplication>

void InstallMainThreadHooks() {
    InitMainThread();
    SetWakeUpHook([] {
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app, [] { CheckSynchronize(0); }, Qt::QueuedConnection);
    });
    SetProcessMessagesHook([] { QCoreApplication::processEvents(); });
}

void RemoveMainThreadHooks() {
    SetWakeUpHook(nullptr);
    SetProcessMessagesHook(nullptr);
}
