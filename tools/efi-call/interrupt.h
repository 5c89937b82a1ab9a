// Ending efi-call on SIGINT or SIGTERM without leaving a redirector's
// temporary file behind.
#pragma once

/// Installs handlers for SIGINT and SIGTERM that delete the temporary files
/// of live redirectors and then end the process by the same signal, so the
/// caller sees the status it expects (130, 143 in a shell).
void InstallInterruptCleanup();
