#pragma once

// Windows only: the named pipes of shared meters, made so that only this
// user reaches them and only on this machine.

#include <string>

namespace zelmora {

// This user's security id in its text form ("S-1-5-21-..."); empty when
// the process's token cannot be read.
std::string ThisUserSid();

// A new server end of the pipe `name`, overlapped, in byte mode, refusing
// remote clients, with an access list that grants this user alone.
// `first`: fails when an end of that name exists already, which is what
// makes taking it atomic. The pipe's HANDLE, or INVALID_HANDLE_VALUE with
// `error` set on failure. (No <windows.h> here: Asio's users include the
// socket headers before it.)
void* CreateOwnPipe(const std::string& name, bool first, unsigned long maxInstances,
                    unsigned long& error);

} // namespace zelmora
