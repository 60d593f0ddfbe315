// A small core written directly against the C interface, so that the frame
// tests can count every call crossing it.  Exports "Pelnet_FrameTest_*" and,
// for the tests only, frametest_counters().
#pragma once

// Property ids.
enum FrameTestProperty {
  ftNumber = 1,  // integer
  ftText = 2,    // text
  ftBytes = 3,   // raw bytes
  ftNames = 4,   // indexed text, three entries
};

// Method ids.
enum FrameTestMethod {
  ftEcho = 1,       // (text) -> "echo:" + text
  ftFail = 2,       // (code) -> fails with code and "failure text ä"
  ftFire = 3,       // (event id) -> fires that event
  ftInterrupt = 4,  // () -> ends a running Wait
  ftWait = 5,       // (ms) -> runs the thread's GLib loop until interrupted or ms passed
  ftAdd = 6,        // (a, b) -> a + b
  ftByteCount = 7,  // (bytes) -> their count; stores them in ftBytes
};

// Event ids and what Fire sends.
enum FrameTestEvent {
  ftEvError = 1,     // (int 77, text "Zürich")
  ftEvResponse = 2,  // (int 5, text "Zürich ✓", text "", int 12)
  ftEvPacket = 3,    // (bytes "a\0b\xff", int 4)
  ftEvBig = 4,       // (int64 1 << 40)
  ftEvUnknown = 99,  // (int 1): no component knows it
};

struct FrameTestCounters {
  int refuseCreate;  // set by a test: Create answers NULL
  int creates;
  int destroys;
  int callbacks;       // callback invocations of the last Fire
  int narrowAnswer;    // answer to the plain firing of the last Fire
  int wideAnswer;      // answer to the wide firing, when there was one
  int nullTextSets;    // wide Set calls whose value was a null pointer
  int lastTextLength;  // characters of the last wide text written
  int interruptsDuringWait;
};

extern "C" FrameTestCounters *frametest_counters(void);
