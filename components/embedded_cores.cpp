#include "embedded_cores.h"

extern "C" {
// Defined by the assembly that pelnet_embed_cores() generates; absent otherwise.
extern const unsigned char pelnet_image_ping_start[] __attribute__((weak));
extern const unsigned char pelnet_image_ping_end[] __attribute__((weak));
extern const unsigned char pelnet_image_smtp_start[] __attribute__((weak));
extern const unsigned char pelnet_image_smtp_end[] __attribute__((weak));
extern const unsigned char pelnet_image_syslog_start[] __attribute__((weak));
extern const unsigned char pelnet_image_syslog_end[] __attribute__((weak));
}

namespace pelnet {
namespace {

CoreImage imageBetween(const unsigned char *start, const unsigned char *end) {
  CoreImage image;
  if (start && end && end > start) {
    image.data = start;
    image.size = static_cast<std::size_t>(end - start);
  }
  return image;
}

}  // namespace

CoreImage EmbeddedPingImage() {
  return imageBetween(pelnet_image_ping_start, pelnet_image_ping_end);
}
CoreImage EmbeddedSMTPImage() {
  return imageBetween(pelnet_image_smtp_start, pelnet_image_smtp_end);
}
CoreImage EmbeddedSysLogImage() {
  return imageBetween(pelnet_image_syslog_start, pelnet_image_syslog_end);
}

}  // namespace pelnet
