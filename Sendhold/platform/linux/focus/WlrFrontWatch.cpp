#include "FrontWatches.h"

namespace sendhold {

std::unique_ptr<focus::FrontWatch> watchWlrFront(MainLoop&, focus::FrontSink) {
    return nullptr;
}

}  // namespace sendhold
