// Hooks through which the tests reach inside the transfer component. The
// shipped libraries only declare them; a test program that wants one defines
// it, and the component finds it at load time.
#pragma once

extern "C" {

/// Lowers the speed floor below which a transfer is abandoned (normally
/// 1024 bytes a second held for 60 seconds), so that a stalling server can
/// be tested in a second or two. Returns false to keep the normal floor.
__attribute__((weak, visibility("default"))) bool vrn_transfer_test_speed_floor(long* bytesPerSecond,
                                                                                 long* seconds);
}
