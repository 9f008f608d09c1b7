// Blowfish's initial P-array and S-boxes (the hexadecimal digits of pi).
#pragma once

#include <array>
#include <cstdint>

namespace kestrune::blowfish {

inline constexpr int kRounds = 16;

extern const std::array<std::uint32_t, kRounds + 2> kInitialP;
extern const std::array<std::array<std::uint32_t, 256>, 4> kInitialS;

}  // namespace kestrune::blowfish
