#include "pelnet/runtime/gss_library.h"

#include <dlfcn.h>

namespace pelnet {

namespace {

template <class Fn>
bool lookUp(void *library, const char *name, Fn &fn) {
  fn = reinterpret_cast<Fn>(dlsym(library, name));
  return fn != nullptr;
}

// One table per image, like the library handle it comes from.
struct GssTable {
  GssFunctions functions;
  bool ready = false;
};

GssTable &gssTable() {
  static GssTable table;
  return table;
}

}  // namespace

bool loadGssFunctions(void *library, GssFunctions &t) {
  t = GssFunctions{};
  if (library == nullptr) return false;
  const bool all = lookUp(library, "gss_import_name", t.importName) &&
                   lookUp(library, "gss_release_name", t.releaseName) &&
                   lookUp(library, "gss_acquire_cred", t.acquireCred) &&
                   lookUp(library, "gss_acquire_cred_with_password", t.acquireCredWithPassword) &&
                   lookUp(library, "gss_release_cred", t.releaseCred) &&
                   lookUp(library, "gss_init_sec_context", t.initSecContext) &&
                   lookUp(library, "gss_delete_sec_context", t.deleteSecContext) &&
                   lookUp(library, "gss_wrap", t.wrap) && lookUp(library, "gss_unwrap", t.unwrap) &&
                   lookUp(library, "gss_release_buffer", t.releaseBuffer) &&
                   lookUp(library, "gss_display_status", t.displayStatus);
  if (!all) t = GssFunctions{};
  return all;
}

const GssFunctions *gssFunctions() {
  const GssTable &t = gssTable();
  return t.ready ? &t.functions : nullptr;
}

void gssTableLoad(void *library) {
  GssTable &t = gssTable();
  t.ready = loadGssFunctions(library, t.functions);
}

void gssTableClear() {
  GssTable &t = gssTable();
  t.ready = false;
  t.functions = GssFunctions{};
}

}  // namespace pelnet
