// Connects the platform's main-thread call queue to the Qt event loop.
#pragma once

// Main thread, after the QApplication exists: marks this thread as the main thread; a call
// queued by any thread then runs from the event loop (the wake-up hook posts a queued call
// to the application object and does no work on the posting thread), and main-thread waits
// keep the windows responsive by processing events.
void InstallMainThreadHooks();
// Before the QApplication goes away.
void RemoveMainThreadHooks();
