#include "FrontWatches.h"

namespace sendhold {

std::unique_ptr<focus::FrontWatch> watchX11Front(MainLoop&, focus::FrontSink) {
    return nullptr;
}

}  // namespace sendhold
