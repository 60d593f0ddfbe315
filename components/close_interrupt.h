// Ends waiting component calls when the user closes a window or the
// application quits.
//
// A component call that waits for the network keeps the thread's events
// flowing, so a window can be closed or the application asked to quit while
// the call is still inside the core.  An application-wide event filter sees
// the Close event of a top-level window and the application's Quit event and
// asks every component that is inside a call to interrupt it; the call then
// ends with 301 "Interrupted." and the close or quit goes on as usual.
//
// With Qt 6.4, closing a widget window delivers Close to both its QWidgetWindow
// and the QWidget (a component is interrupted once per call), and
// QCoreApplication::quit() delivers Quit to the application object.
#pragma once

class TpelCore;

namespace pelnet {

// Bookkeeping of the components that are inside a core call (one thread).
void EnterComponentCall(TpelCore *component);
void LeaveComponentCall(TpelCore *component);
// Forgets a component that is being destroyed.
void ForgetComponent(TpelCore *component);
// Interrupts every component that is inside a call.
void InterruptWaitingComponents();
// Installs the filter on the application object once one exists.
void EnsureCloseInterrupt();

}  // namespace pelnet
