// Which printer models an installer serves: what discovery filters candidates by and what the
// update objects answer. Below both, so that neither reaches into the other.
#pragma once

#include <string_view>

class IModelInfo {
public:
    // True when `name` is a served model: exactly one of the names, or, with `suffix`, ending
    // with one of them.
    virtual bool IsSupportedModel(std::wstring_view name, bool suffix) const = 0;

protected:
    ~IModelInfo() = default;  // objects are deleted through their concrete type
};
