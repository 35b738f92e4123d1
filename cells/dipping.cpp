#include "cells/dipping.hpp"

namespace quelby {

void read_dipping(const Io&, const Mesh&, const AlphaCoefficients&, std::int32_t, std::string_view,
                  std::span<std::int32_t>, std::int32_t&, DippingZones&) {}
void release_dipping(DippingZones&) {}
bool point_in_region(const Region&, double, double) {
  return false;
}
void assign_zones(const Mesh&, std::span<const Region>, std::span<std::int32_t>) {}

}  // namespace quelby
