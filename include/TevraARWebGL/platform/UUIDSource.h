/// @file
/// Source of anchor identifiers: canonical upper-case 8-4-4-4-12 UUID texts.
/// Threads: any. The fake hands out a deterministic sequence.
#pragma once

#include <string>

namespace tevra {

/// Hands out anchor identifiers.
class UUIDSource {
public:
    virtual ~UUIDSource() = default;
    /// A new identifier as canonical upper-case UUID text.
    virtual std::string uuidString() = 0;
};

}  // namespace tevra
