#pragma once
// What the user is told when one of the program's two servers cannot open
// its port: which port, why, and what to do about it. The main window shows
// it in a message box, the headless program prints it on standard error.

#include <string>

#include "platform/hresult.h"

enum class PortRole {
    WebServer,  // the viewers' page on the HTTP port
    Stream,     // the broadcast's stream on the ASF port
};

// The message for role's port that could not be opened; error is the system's
// error number of the failing step (EACCES, EADDRINUSE, ...), 0 when unknown.
std::string PortProblemText(PortRole role, int port, int error);

// The system error number in a failed start's result when it says that the
// port itself cannot be had (no permission, taken, no such address); 0 for
// every other failure, which the error trail records instead.
int PortErrorOf(HRESULT hr);
