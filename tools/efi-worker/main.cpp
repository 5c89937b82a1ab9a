// efi-worker: the process an isolated module runs in. A host starts it with
// the channel on descriptor FD and its own process id:
//
//   efi-worker --channel FD --parent PID
//
// It is not meant to be run by hand.
#include <efi/host/worker.h>
#include <vrnrun/faults.h>

#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 5 || std::strcmp(argv[1], "--channel") != 0 || std::strcmp(argv[3], "--parent") != 0) {
        std::fputs("efi-worker: started by a host (efi-call --isolate, efi.load(..., isolated=True))\n", stderr);
        return 2;
    }
    const int channel = std::atoi(argv[2]);
    const long parent = std::atol(argv[4]);
    // Killed with the host, however it ends (SIGKILL included). The host may
    // have ended before the request took effect: then nobody is waiting.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != static_cast<pid_t>(parent)) return 1;
    // The worker runs in a process group of its own, in the background of
    // the host's terminal: what the module writes there is written, never
    // stopped for (a terminal set to stop background writers).
    std::signal(SIGTTOU, SIG_IGN);
    Vrn::Run::InstallFaultTranslation();
    return Efi::ServeIsolatedModule(channel);
}
