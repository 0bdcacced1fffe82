#pragma once

#include "handle.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace zun {

// Hands out nonzero ids for encoders and decoders. A caller gets shared ownership, so
// deleting an id on one thread while another thread is inside a call on it is safe: the
// delete closes the object (Handle::close), the memory goes with the last call using it.
class HandleRegistry {
public:
    static HandleRegistry &instance();

    // 0 when the registry is full.
    uint32_t add(std::shared_ptr<Handle> handle);
    std::shared_ptr<Handle> remove(uint32_t id);

    template <class T>
    std::shared_ptr<T> find(uint32_t id) const
    {
        return std::dynamic_pointer_cast<T>(findHandle(id));
    }

private:
    std::shared_ptr<Handle> findHandle(uint32_t id) const;

    mutable std::mutex mMutex;
    std::unordered_map<uint32_t, std::shared_ptr<Handle>> mHandles;
    uint32_t mNextId = 1;
};

} // namespace zun
