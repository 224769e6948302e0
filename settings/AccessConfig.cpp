#include "settings/AccessConfig.h"

#include "diag/ProgramPath.h"
#include "settings/ConfigFile.h"
#include "settings/FileReplace.h"

namespace {

constexpr std::string_view kViewersKey = "viewers";
constexpr std::string_view kTokenKey = "token";
constexpr std::string_view kPasswordKey = "password";
constexpr std::string_view kTlsKey = "tls";
constexpr std::string_view kCertificateKey = "certificate";
constexpr std::string_view kKeyKey = "key";

bool IsHex(std::string_view text) {
    return text.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

std::string ValueProblem(std::string_view key, std::string_view value) {
    ViewerRule rule;
    if (key == kViewersKey && !ViewerRuleFromWord(value, &rule))
        return "viewers= must be everyone, invite or password";
    if (key == kTokenKey && !value.empty() &&
        (value.size() < 32 || value.size() > 128 || !IsHex(value)))
        return "token= must be 32 to 128 hex digits";
    if (key == kPasswordKey && !value.empty() && value.rfind("$argon2id$", 0) != 0)
        return "password= must be an Argon2id hash";
    if (key == kTlsKey && value != "0" && value != "1" && !value.empty())
        return "tls= must be 0 or 1";
    return std::string();
}

KeyValueFile AccessKeys() {
    return KeyValueFile(
        {std::string(kViewersKey), std::string(kTokenKey), std::string(kPasswordKey),
         std::string(kTlsKey), std::string(kCertificateKey), std::string(kKeyKey)},
        &ValueProblem);
}

}  // namespace

std::string_view ViewerRuleWord(ViewerRule rule) {
    switch (rule) {
        case ViewerRule::kInvite:
            return "invite";
        case ViewerRule::kPassword:
            return "password";
        case ViewerRule::kEveryone:
            break;
    }
    return "everyone";
}

bool ViewerRuleFromWord(std::string_view word, ViewerRule* rule) {
    for (const ViewerRule each :
         {ViewerRule::kEveryone, ViewerRule::kInvite, ViewerRule::kPassword}) {
        if (word == ViewerRuleWord(each)) {
            *rule = each;
            return true;
        }
    }
    return false;
}

AccessConfig::AccessConfig() : file_(AccessKeys()) {}

bool AccessConfig::Parse(std::string_view text, std::string* error) {
    KeyValueFile file = AccessKeys();
    if (!file.Parse(text, error)) return false;
    TakeFile(std::move(file));
    return true;
}

void AccessConfig::TakeFile(KeyValueFile file) {
    file_ = std::move(file);
    settings_ = AccessSettings();
    ViewerRuleFromWord(file_.Value(kViewersKey), &settings_.viewers);
    settings_.token = file_.Value(kTokenKey);
    settings_.passwordHash = file_.Value(kPasswordKey);
    settings_.tls = file_.Value(kTlsKey) == "1";
    settings_.certificate = file_.Value(kCertificateKey);
    settings_.key = file_.Value(kKeyKey);
}

std::string AccessConfig::Text() const {
    KeyValueFile file = file_;
    file.Set(kViewersKey, std::string(ViewerRuleWord(settings_.viewers)));
    file.Set(kTokenKey, settings_.token);
    file.Set(kPasswordKey, settings_.passwordHash);
    file.Set(kTlsKey, settings_.tls ? "1" : "0");
    file.Set(kCertificateKey, settings_.certificate);
    file.Set(kKeyKey, settings_.key);
    return file.Text();
}

std::string AccessConfigPath() {
    const std::string config = ConfigFilePath();
    if (config.empty()) return std::string();
    return FolderOf(config) + kAccessConfigFileName;
}

KeyValueLoad LoadAccessConfig(const std::string& path, AccessConfig* config, std::string* error) {
    *config = AccessConfig();
    KeyValueFile file = AccessKeys();
    const KeyValueLoad load = LoadKeyValueFile(path, "The access settings file", &file, error);
    if (load == KeyValueLoad::kLoaded) config->TakeFile(std::move(file));
    return load;
}

bool SaveAccessConfig(const std::string& path, const AccessConfig& config) {
    const std::string text = config.Text();
    return ReplaceFile(path, text.data(), text.size());
}
