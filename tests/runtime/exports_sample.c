/* A library with the ten core functions of component "Sample" and one more,
 * exported the ordinary way (no version script): what the export check must
 * refuse. */
#define SAMPLE_EXPORT __attribute__((visibility("default")))
SAMPLE_EXPORT int Pelnet_Sample_Create(void) { return 0; }
SAMPLE_EXPORT int Pelnet_Sample_Destroy(void) { return 0; }
SAMPLE_EXPORT int Pelnet_Sample_Set(void) { return 0; }
SAMPLE_EXPORT int Pelnet_Sample_Get(void) { return 0; }
SAMPLE_EXPORT int Pelnet_Sample_Do(void) { return 0; }
SAMPLE_EXPORT int Pelnet_Sample_GetLastError(void) { return 0; }
SAMPLE_EXPORT int Pelnet_Sample_GetLastErrorCode(void) { return 0; }
SAMPLE_EXPORT int Pelnet_Sample_CheckIndex(void) { return 0; }
SAMPLE_EXPORT int Pelnet_Sample_StaticInit(void) { return 0; }
SAMPLE_EXPORT int Pelnet_Sample_StaticDestroy(void) { return 0; }
SAMPLE_EXPORT int Pelnet_Sample_Extra(void) { return 0; }
