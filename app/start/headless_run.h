// The automatic sequence where no window can be seen: the same steps the
// window's menu commands take (settings, check, run state, history, result
// files, each report by its rule), driven here without any widget, and told
// to the scheduler through a TAutoRunMonitor.
#pragma once

#include "run/run_sequence.h"

struct TAutoSwitches;
class TAutoRunMonitor;

// Runs the sequence the switches ask for over a run sequence with
// components of its own and returns the exit status. The caller holds a
// QCoreApplication (no widget is made, so no QApplication is needed) and
// the bound network cores; the monitor's result files are written by the
// run. A component that cannot be created or settings that cannot be read
// end the run as a window that could not be created would; an exception
// later stops the sequence as it stops the window's.
int RunWithoutWindow(const TRunSequence::TPlaces& Places, const TAutoSwitches& Switches,
                     TAutoRunMonitor& Monitor);
