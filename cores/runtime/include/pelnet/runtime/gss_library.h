// The system's GSS-API library, looked up at run time rather than linked, so
// that a core starts (and sends unauthenticated or LOGIN mail) on a machine
// without it.  Only the types and constants come from the development
// headers; every call goes through the table below.
#pragma once

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>

namespace pelnet {

// The library the image start looks for.
inline constexpr const char *kGssLibraryName = "libgssapi_krb5.so.2";

struct GssFunctions {
  decltype(&::gss_import_name) importName = nullptr;
  decltype(&::gss_release_name) releaseName = nullptr;
  decltype(&::gss_acquire_cred) acquireCred = nullptr;
  decltype(&::gss_acquire_cred_with_password) acquireCredWithPassword = nullptr;
  decltype(&::gss_release_cred) releaseCred = nullptr;
  decltype(&::gss_init_sec_context) initSecContext = nullptr;
  decltype(&::gss_delete_sec_context) deleteSecContext = nullptr;
  decltype(&::gss_wrap) wrap = nullptr;
  decltype(&::gss_unwrap) unwrap = nullptr;
  decltype(&::gss_release_buffer) releaseBuffer = nullptr;
  decltype(&::gss_display_status) displayStatus = nullptr;
};

// Fills `table` from an open library (a dlopen handle).  False, and the table
// emptied, when any function is missing: a partial table would fail later in
// a less clear place.
bool loadGssFunctions(void *library, GssFunctions &table);

// The table of the library the image start loaded, or nullptr when it could
// not be loaded or lacks a function.
const GssFunctions *gssFunctions();

// Called by the image start and end (image_state.cpp).
void gssTableLoad(void *library);
void gssTableClear();

}  // namespace pelnet
