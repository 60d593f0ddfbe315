// The socket object's life and its notification watch: a GLib fd source on
// the main context of the thread that created the object, standing in for a
// hidden window that receives socket messages.
#include <glib-unix.h>

#include "pelnet/runtime/codepage.h"
#include "pelnet/runtime/socket_object.h"

namespace pelnet {

SocketObject::SocketObject() {
  // The owning thread's context: the default one on the main thread, which
  // Qt's event dispatcher runs, so notifications arrive while the application idles.
  context_ = g_main_context_ref_thread_default();
  charsetMode = localeCodePage() == 932 ? 1 : 0;
}

SocketObject::~SocketObject() {
  unwatch();
  if (context_ != nullptr) g_main_context_unref(context_);
}

void SocketObject::watch(int fd, GIOCondition cond) {
  if (watch_ != nullptr && fd == watchFd_ && cond == watchCond_) return;
  unwatch();
  if (fd < 0 || context_ == nullptr || cond == 0) return;
  watch_ = g_unix_fd_source_new(fd, cond);
  // The default priority is the one Qt's own sources use: a higher one would
  // starve the window.  Recursion lets a wait started inside this object's
  // notification see the object's next notification.
  g_source_set_priority(watch_, G_PRIORITY_DEFAULT);
  g_source_set_can_recurse(watch_, TRUE);
  g_source_set_callback(watch_,
                        reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(&watchCallback)),
                        this, nullptr);
  g_source_attach(watch_, context_);
  watchFd_ = fd;
  watchCond_ = cond;
}

void SocketObject::unwatch() {
  if (watch_ != nullptr) {
    g_source_destroy(watch_);
    g_source_unref(watch_);
    watch_ = nullptr;
  }
  watchFd_ = -1;
  watchCond_ = static_cast<GIOCondition>(0);
}

gboolean SocketObject::watchCallback(gint fd, GIOCondition cond, gpointer self) {
  auto *object = static_cast<SocketObject *>(self);
  // A handler may replace or remove the watch; the source stays referenced by
  // GLib while it dispatches, so continuing is safe either way.
  // GLib is C: nothing may unwind through it.
  try {
    if (fd == object->watchFd_) object->onNotification(fd, cond);
  } catch (...) {
    if (!object->caughtException) object->caughtException = std::current_exception();
  }
  return G_SOURCE_CONTINUE;
}

void SocketObject::onNotification(int, GIOCondition) {}

}  // namespace pelnet
