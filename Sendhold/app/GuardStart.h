#pragma once

namespace sendhold {

// Binds the guard of this process and starts it (startMonitoring prints
// "監視スタート" or "権限エラー"). With the keyboard service installed, the
// guard runs there and this process steers it; without it, and with access to
// the devices, the hook runs in this process (direct mode, for development).
void startGuard();

}  // namespace sendhold
