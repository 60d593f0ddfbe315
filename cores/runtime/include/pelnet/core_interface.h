/*
 * The core interface: the ten C functions every network core exports.
 *
 * A core is a shared library (libpelnet_ping.so, libpelnet_smtp.so,
 * libpelnet_syslog.so) that exports exactly these functions with C linkage;
 * every other symbol is hidden.  Properties, methods and events are numbered;
 * the wide variant of an id is the id plus 10000 and passes texts as
 * zero-terminated UTF-16 (char16_t) strings, the plain id as zero-terminated
 * narrow strings in the core's code page.  Raw bytes travel as a pointer with
 * their count in the length slot; a 64-bit event parameter travels as a
 * pointer to an int64_t.  Texts and bytes returned by a core stay valid until
 * the next call into the same instance.
 *
 * Events: the core calls the callback with the plain event id and narrow
 * texts.  When the callback answers PELNET_WANT_WIDE the core converts every
 * text parameter to UTF-16 and calls again with the id plus 10000.
 */
#ifndef PELNET_CORE_INTERFACE_H
#define PELNET_CORE_INTERFACE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef intptr_t pelnet_slot; /* one argument or result: an integer, or a pointer */
typedef int (*pelnet_event_fn)(void *user, int event_id, int param_count, pelnet_slot *params,
                               int *lengths);

#define PELNET_WIDE_OFFSET 10000
#define PELNET_WANT_WIDE (-10000)
/* Reserved read ids, the same in every core. */
#define PELNET_GET_BUILD_ID 0
#define PELNET_GET_CODE_PAGE 2010

#if defined(PELNET_BUILDING_CORE)
#define PELNET_API __attribute__((visibility("default")))
#else
#define PELNET_API
#endif

#define PELNET_DECLARE_CORE(Name)                                                                  \
  PELNET_API void *Pelnet_##Name##_Create(pelnet_event_fn callback, void *user);                   \
  PELNET_API int Pelnet_##Name##_Destroy(void *core);                                              \
  PELNET_API int Pelnet_##Name##_Set(void *core, int property_id, int index, pelnet_slot value,    \
                                     int length);                                                  \
  PELNET_API pelnet_slot Pelnet_##Name##_Get(void *core, int property_id, int index, int *length); \
  PELNET_API int Pelnet_##Name##_Do(void *core, int method_id, int arg_count, pelnet_slot *args,   \
                                    int *lengths);                                                 \
  PELNET_API const char *Pelnet_##Name##_GetLastError(void *core);                                 \
  PELNET_API int Pelnet_##Name##_GetLastErrorCode(void *core);                                     \
  PELNET_API int Pelnet_##Name##_CheckIndex(void *core, int property_id, int index);               \
  PELNET_API int Pelnet_##Name##_StaticInit(void *module);                                         \
  PELNET_API int Pelnet_##Name##_StaticDestroy(void);

PELNET_DECLARE_CORE(Ping)
PELNET_DECLARE_CORE(SMTP)
PELNET_DECLARE_CORE(SysLog)

/* Function pointer types of the seven functions the components bind. */
typedef void *(*pelnet_create_fn)(pelnet_event_fn callback, void *user);
typedef int (*pelnet_destroy_fn)(void *core);
typedef int (*pelnet_set_fn)(void *core, int property_id, int index, pelnet_slot value, int length);
typedef pelnet_slot (*pelnet_get_fn)(void *core, int property_id, int index, int *length);
typedef int (*pelnet_do_fn)(void *core, int method_id, int arg_count, pelnet_slot *args,
                            int *lengths);
typedef const char *(*pelnet_get_last_error_fn)(void *core);
typedef int (*pelnet_check_index_fn)(void *core, int property_id, int index);

#ifdef __cplusplus
}
#endif

#endif
