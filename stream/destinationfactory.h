#pragma once

#include "framedestination.h"

#include <cstdint>
#include <memory>

namespace zun {

// Null for a protocol that cannot send. Shared memory sizes its slots for format.
std::unique_ptr<FrameDestination> makeDestination(uint32_t protocol, const StreamFormat &format, uint32_t streamId);

} // namespace zun
