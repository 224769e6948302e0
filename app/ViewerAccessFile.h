#pragma once
// The access rule as the program starts with it: read from access.cfg
// beside the configuration. A new install (neither that file nor the
// configuration file there) starts private, with a fresh invite link; an
// existing one without the file keeps letting everyone watch, as it always
// has. Whenever the file has no token yet, one is made and saved.

#include <memory>
#include <string>

#include "settings/AccessConfig.h"
#include "web/TlsContext.h"

// problem: what the user must be told ("" for nothing). A damaged or
// unreadable file lets nobody in but leaves the file as it is.
AccessSettings LoadViewerAccess(std::string* problem);

// The TLS of both ports when settings ask for it (null when they do not, or
// when no certificate can be had: then problem says why and the servers stay
// off, for an unencrypted broadcast is not what the user asked for). The
// program's own certificate is kept beside access.cfg.
std::unique_ptr<TlsContext> OpenViewerTls(const AccessSettings& settings, std::string* problem);

// Saves settings into access.cfg, keeping its other lines. False, with a
// message in problem, when it cannot be written.
bool SaveViewerAccess(const AccessSettings& settings, std::string* problem);
