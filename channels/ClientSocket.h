// ClientSocket: what the channel worker asks of a client connection's bare
// descriptor when access rules apply: whose it is, whether the client is
// still there, and closing it unread when the rules refuse it.
//
// Each call is one or two system calls that never wait.  Worker thread; the
// descriptor may meanwhile be used by the thread that owns its connection,
// since none of these reads or changes what that thread sees.
#pragma once

#include <QHostAddress>
#include <QtGlobal>

namespace clientsocket {

// The address of the client at the other end; null when the system cannot
// tell (the connection is already gone).
QHostAddress peerAddress(qintptr descriptor);

// False once the client has closed or reset the connection; bytes it sent
// are left where they are.
bool isPeerPresent(qintptr descriptor);

// Closes a connection nobody serves, with a reset: nothing of it lingers in
// the system, however many a client opens.
void closeUnread(qintptr descriptor);

}  // namespace clientsocket
