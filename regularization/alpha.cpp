#include "regularization/alpha.hpp"

namespace quelby {

void set_alpha(const Io&, const Mesh&, std::int32_t, const std::array<double, 3>&,
               const std::array<double, 2>&, AlphaCoefficients&) {}

}  // namespace quelby
