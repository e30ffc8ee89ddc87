// The process's file descriptors: every instance holds a listening socket and every client a
// connection, so ten thousand instances need far more than the usual soft limit of 1,024.
#pragma once

namespace tdssim {

// Descriptors reserved beyond the instances' sockets: the control port, the log, epoll, the
// standard streams, OpenSSL's files.
inline constexpr long kDescriptorReserve = 64;

// Raises the soft limit on open descriptors to the hard limit and returns the limit now in
// force. Throws a clear error when the system refuses, or when even the raised limit leaves no
// room for the instances' listening sockets; says on standard error when it leaves too little for
// a client each.
long raiseDescriptorLimit(int instances);

// Called when accept() failed for want of descriptors: takes the waiting client off the
// listening socket and closes it at once, so that the socket stops reporting it (an event loop
// would otherwise spin on it), and says so once on standard error. True when one was shed.
bool shedWaitingClient(int listenFd);

} // namespace tdssim
