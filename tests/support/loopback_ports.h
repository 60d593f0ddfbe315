// Ports on 127.0.0.1 for tests that start servers of their own or need a
// port where nothing listens.
#pragma once

namespace testsupport {

// A TCP port on 127.0.0.1 that nobody listened on a moment ago (bound by the
// system's choice, then closed), or 0 when none could be had. A connection
// to it is refused until something else binds it.
int FreeLoopbackPort();

// A UDP port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackUdpPort();

// True when a TCP connection to 127.0.0.1 at Port is accepted now: a server
// started by the test has come up.
bool LoopbackPortAccepts(int Port);

}  // namespace testsupport
