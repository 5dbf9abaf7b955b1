#pragma once

#include <memory>

namespace sendhold {

// Owns a QObject and deletes it with deleteLater(): safe even when the object
// is released from inside one of its own signals. Give the object no parent:
// the pointer alone owns it.
struct DeleteLater {
    template <typename T>
    void operator()(T* object) const {
        if (object) object->deleteLater();
    }
};

template <typename T>
using QtOwned = std::unique_ptr<T, DeleteLater>;

}  // namespace sendhold
