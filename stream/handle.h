#pragma once

namespace zun {

// What the registry holds: an encoder or a decoder, told apart by dynamic type.
class Handle {
public:
    virtual ~Handle() = default;
};

} // namespace zun
