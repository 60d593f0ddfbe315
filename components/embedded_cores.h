// The core images carried inside the executable.
//
// pelnet_embed_cores() in CMake assembles the bytes of each core library into
// the executable between the symbols pelnet_image_<name>_start and _end.
// The references here are weak, so a program (or test) that embeds no core
// still links; its images are then empty and binding leaves the slots empty.
#pragma once

#include "core_binding.h"

namespace pelnet {

CoreImage EmbeddedPingImage();
CoreImage EmbeddedSMTPImage();
CoreImage EmbeddedSysLogImage();

}  // namespace pelnet
