// Process-wide state of one core image: set up when the library is loaded,
// released when it is unloaded.  Each core links the runtime statically with
// hidden symbols, so each loaded core has its own copy of this state.
#include <dlfcn.h>

#include "pelnet/runtime/core_base.h"
#include "pelnet/runtime/gss_library.h"

namespace pelnet {

ImageState &imageState() {
  static ImageState state;
  return state;
}

int staticInit(void *module) {
  ImageState &s = imageState();
  s.module = module;
  // Sockets need no start-up step on Linux: the start-up "succeeds" with version 2.2.
  s.winsockStatus = 0;
  s.winsockVersion = 0x0202;
  // Optional: the security package of the mail component; without it only
  // the authentication that needs it is unavailable.
  if (s.gssapi == nullptr) s.gssapi = dlopen(kGssLibraryName, RTLD_NOW | RTLD_LOCAL);
  gssTableLoad(s.gssapi);
  return 0;
}

int staticDestroy() {
  ImageState &s = imageState();
  gssTableClear();
  if (s.gssapi != nullptr) {
    dlclose(s.gssapi);
    s.gssapi = nullptr;
  }
  s.module = nullptr;
  return 0;
}

}  // namespace pelnet
