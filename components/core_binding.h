// Binding of one component kind to its core library.
//
// Each kind (ping, mail, syslog) has one binding record for the whole
// program.  Binding writes the core's image bytes into an anonymous memory
// file, loads that file with the dynamic loader (which runs the core's
// StaticInit from the library's constructor) and looks up the seven
// functions the components call.  Where a memory file cannot be made or
// loaded, the library is loaded by name from the library search path.
// Any failure is silent here: the slots stay empty and creating a component
// of that kind fails later with the component's creation error.
#pragma once

#include <cstddef>

#include "pelnet/core_interface.h"

namespace pelnet {

// The bytes of a core library carried inside the executable; empty when the
// executable carries no image for the kind.
struct CoreImage {
  const unsigned char *data = nullptr;
  std::size_t size = 0;
  bool empty() const { return data == nullptr || size == 0; }
};

// The seven core functions the component objects call; each may be empty.
struct CoreFunctions {
  pelnet_create_fn Create = nullptr;
  pelnet_destroy_fn Destroy = nullptr;
  pelnet_set_fn Set = nullptr;
  pelnet_get_fn Get = nullptr;
  pelnet_get_last_error_fn GetLastError = nullptr;
  pelnet_check_index_fn CheckIndex = nullptr;
  pelnet_do_fn Do = nullptr;
};

struct CoreBinding {
  // What to bind: the exported names are "Pelnet_" + component + "_" + function.
  const char *component = nullptr;    // "Ping", "SMTP", "SysLog"
  const char *libraryName = nullptr;  // loaded by name when no memory file can be used
  // Where the image bytes are.  Null: this kind is always loaded by name.
  CoreImage (*image)() = nullptr;

  // State.
  int useCount = 0;
  void *module = nullptr;  // dlopen handle, or null
  int memfd = -1;          // kept open until after dlclose: a reused descriptor
                           // number would make the loader hand back the old library
  CoreFunctions fn{};
};

// Fills `b` from its image (or library); leaves slots empty on any failure.
void BindCore(CoreBinding &b);
// Empties the slots, unloads the library, closes the memory file, use count 0.
void UnbindCore(CoreBinding &b);

// Unit initialisation and finalisation: only the step 0 -> 1 binds and only
// the step back to 0 unbinds.
void AcquireCore(CoreBinding &b);
void ReleaseCore(CoreBinding &b);

}  // namespace pelnet
