// What the packer needs to know of a Windows stub's PE headers.
#pragma once

#include <cstdint>
#include <string_view>

namespace lumora::pack {

// The length of the certificate table (an Authenticode signature) that the image's
// headers point to, or 0 when the image has none or is no PE image (the Linux stub).
// Appending an archive to a signed image, and patching its offset into it, breaks the
// signature: the vendor signs the finished updater instead.
uint32_t SignatureLength(std::string_view image);

}  // namespace lumora::pack
