#include "handleregistry.h"

namespace zun {

namespace {
constexpr size_t kMaxHandles = 1u << 16;
}

HandleRegistry &HandleRegistry::instance()
{
    // Never destroyed: entry points may still run from other threads while statics are torn down.
    static auto *registry = new HandleRegistry;
    return *registry;
}

uint32_t HandleRegistry::add(std::shared_ptr<Handle> handle)
{
    if (!handle)
        return 0;
    std::lock_guard lock(mMutex);
    if (mHandles.size() >= kMaxHandles)
        return 0;
    // Ids are not reused soon after a delete, so a stale id rarely names a new object.
    while (mNextId == 0 || mHandles.contains(mNextId))
        ++mNextId;
    const uint32_t id = mNextId++;
    mHandles.emplace(id, std::move(handle));
    return id;
}

std::shared_ptr<Handle> HandleRegistry::remove(uint32_t id)
{
    std::lock_guard lock(mMutex);
    auto it = mHandles.find(id);
    if (it == mHandles.end())
        return nullptr;
    auto handle = std::move(it->second);
    mHandles.erase(it);
    return handle;
}

std::shared_ptr<Handle> HandleRegistry::findHandle(uint32_t id) const
{
    std::lock_guard lock(mMutex);
    auto it = mHandles.find(id);
    return it == mHandles.end() ? nullptr : it->second;
}

} // namespace zun
