#include "app/ViewerAccessFile.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include "diag/ProgramPath.h"
#include "media/LocalAddress.h"
#include "settings/ConfigFile.h"
#include "web/ViewerAccess.h"

AccessSettings LoadViewerAccess(std::string* problem) {
    problem->clear();
    const std::string path = AccessConfigPath();
    AccessConfig config;
    std::string error;
    switch (LoadAccessConfig(path, &config, &error)) {
        case KeyValueLoad::kLoaded:
            break;
        case KeyValueLoad::kMissing: {
            struct stat info {};
            AccessSettings fresh;
            if (stat(ConfigFilePath().c_str(), &info) != 0) fresh.viewers = ViewerRule::kInvite;
            config.SetSettings(fresh);
            break;
        }
        case KeyValueLoad::kDamaged:
        case KeyValueLoad::kUnreadable: {
            // Nobody is let in by a rule that could not be read.
            *problem = error + "; nobody can watch until it is mended";
            AccessSettings closed;
            closed.viewers = ViewerRule::kInvite;
            return closed;
        }
    }
    AccessSettings settings = config.Settings();
    if (settings.token.empty()) {
        settings.token = NewInviteToken();
        if (!SaveViewerAccess(settings, problem))
            *problem += "; the invite link lasts until the program ends";
    }
    return settings;
}

std::unique_ptr<TlsContext> OpenViewerTls(const AccessSettings& settings, std::string* problem) {
    problem->clear();
    if (!settings.tls) return nullptr;
    std::vector<std::string> addresses;
    for (const in_addr address : LocalIpv4Addresses()) {
        char text[INET_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET, &address, text, sizeof text)) addresses.emplace_back(text);
    }
    return TlsContext::Open(settings.certificate, settings.key, FolderOf(AccessConfigPath()),
                            CertificateNames(addresses), problem);
}

bool SaveViewerAccess(const AccessSettings& settings, std::string* problem) {
    const std::string path = AccessConfigPath();
    AccessConfig config;
    std::string error;
    const KeyValueLoad load = LoadAccessConfig(path, &config, &error);
    if (load == KeyValueLoad::kDamaged || load == KeyValueLoad::kUnreadable) {
        *problem = error;
        return false;
    }
    config.SetSettings(settings);
    if (path.empty() || !SaveAccessConfig(path, config)) {
        *problem = "Cannot save the access settings file " + path;
        return false;
    }
    return true;
}
