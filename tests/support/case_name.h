// Names a parameterised case after the name field of its parameter, so that each case of a
// table reads as what it is in the test log.
#pragma once

#include <string>

inline constexpr auto NameCase = [](const auto& test) { return std::string(test.param.name); };
