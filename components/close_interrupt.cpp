#include "close_interrupt.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QThread>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <vector>

#include "pelcore.h"

namespace pelnet {
namespace {

// Components of this thread that are inside a core call, outermost first.
thread_local std::vector<TpelCore *> waitingComponents;

// Popups and tool tips close all the time without the user closing anything.
bool isClosableWindowType(Qt::WindowType type) {
  return type != Qt::Popup && type != Qt::ToolTip && type != Qt::SplashScreen;
}

bool isTopLevelClose(QObject *obj) {
  if (auto *w = qobject_cast<QWidget *>(obj))
    return w->isWindow() && isClosableWindowType(w->windowType());
  if (auto *win = qobject_cast<QWindow *>(obj))
    return win->isTopLevel() && isClosableWindowType(win->type());
  return false;
}

class CloseInterruptFilter : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject *obj, QEvent *ev) override {
    const QEvent::Type t = ev->type();
    if (t == QEvent::Quit || (t == QEvent::Close && isTopLevelClose(obj)))
      InterruptWaitingComponents();
    return false;  // the close or quit itself goes on
  }
};

QPointer<CloseInterruptFilter> &filter() {
  static QPointer<CloseInterruptFilter> f;
  return f;
}

}  // namespace

void EnterComponentCall(TpelCore *component) { waitingComponents.push_back(component); }

void LeaveComponentCall(TpelCore *component) {
  auto it = std::find(waitingComponents.rbegin(), waitingComponents.rend(), component);
  if (it != waitingComponents.rend()) waitingComponents.erase(std::next(it).base());
}

void ForgetComponent(TpelCore *component) { std::erase(waitingComponents, component); }

void InterruptWaitingComponents() {
  // Interrupt may run core code; work on a copy and re-check membership.
  const std::vector<TpelCore *> snapshot = waitingComponents;
  for (TpelCore *c : snapshot) {
    if (std::find(waitingComponents.begin(), waitingComponents.end(), c) != waitingComponents.end())
      c->interruptWaitingCall();
  }
}

void EnsureCloseInterrupt() {
  QCoreApplication *app = QCoreApplication::instance();
  if (!app || filter() || QThread::currentThread() != app->thread()) return;
  filter() = new CloseInterruptFilter(app);
  app->installEventFilter(filter());
}

}  // namespace pelnet
