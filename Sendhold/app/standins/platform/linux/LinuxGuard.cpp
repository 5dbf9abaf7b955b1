#include "platform/linux/LinuxGuard.h"
namespace sendhold {
void installLinuxGuardSeams() {}
}
