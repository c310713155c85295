// The archive start offset that lumora-pack wrote into this executable.
#pragma once

#include <cstdint>

namespace lumora {

// Image length + 1 as the packer patched it, or the delivered image's offset when this
// executable was never packed.
int64_t PatchedArchiveStartOffset();

}  // namespace lumora
