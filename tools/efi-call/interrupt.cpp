#include "interrupt.h"

#include <csignal>

#include <efi/redirector.h>

namespace {

void EndOnSignal(int signal) {
    CHTTPRedirector::DeleteTemporaryFiles();
    // SA_RESETHAND restored the default action; the signal is blocked while
    // this handler runs, so it takes effect as soon as the handler returns.
    std::raise(signal);
}

}  // namespace

void InstallInterruptCleanup() {
    struct sigaction action {};
    action.sa_handler = &EndOnSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    // Both end the process: a second one arriving during the clean-up
    // waits for it.
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    for (int signal : {SIGINT, SIGTERM}) {
        struct sigaction previous {};
        // A signal the caller chose to ignore (nohup, a background job) stays ignored.
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        ::sigaction(signal, &action, nullptr);
    }
}
