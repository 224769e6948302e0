#pragma once
// Who may watch: the viewers' access settings in "access.cfg" beside the
// configuration file, one key=value a line, kept on rewrite like relay.cfg.
// The file holds the invite link's token and the viewer password's hash, so
// it is the user's alone. No Qt: the headless program, the dialog and the
// tests share it.

#include <string>
#include <string_view>

#include "settings/KeyValueFile.h"

constexpr char kAccessConfigFileName[] = "access.cfg";

enum class ViewerRule {
    kEveryone,  // whoever reaches the ports
    kInvite,    // whoever has the invite link (its token)
    kPassword,  // whoever knows the viewer password, or has the link
};

struct AccessSettings {
    ViewerRule viewers = ViewerRule::kEveryone;
    std::string token;         // the invite link's, hex; "" for none yet
    std::string passwordHash;  // crypto_pwhash_str's text; "" for none
    // HTTPS on both ports, with the user's PEM files (both "" for the
    // program's own certificate).
    bool tls = false;
    std::string certificate;
    std::string key;
};

// The word the file writes for a rule, and back; false for another word.
std::string_view ViewerRuleWord(ViewerRule rule);
bool ViewerRuleFromWord(std::string_view word, ViewerRule* rule);

class AccessConfig {
  public:
    AccessConfig();

    // Reads the file's text; damaged as KeyValueFile says, or for a viewers=
    // other than everyone, invite or password, a token= that is not 32 to
    // 128 hex digits, a password= that is not an Argon2id hash, or a tls=
    // other than 0 or 1.
    bool Parse(std::string_view text, std::string* error);

    const AccessSettings& Settings() const { return settings_; }
    void SetSettings(const AccessSettings& settings) { settings_ = settings; }
    std::string Text() const;

  private:
    friend KeyValueLoad LoadAccessConfig(const std::string&, AccessConfig*, std::string*);
    void TakeFile(KeyValueFile file);

    KeyValueFile file_;
    AccessSettings settings_;
};

// "access.cfg" in the folder of the configuration file; empty when that has
// no path.
std::string AccessConfigPath();

// Reads the file at path into config. Anything but kLoaded leaves config's
// defaults; error gets a message for the user naming the file.
KeyValueLoad LoadAccessConfig(const std::string& path, AccessConfig* config, std::string* error);
bool SaveAccessConfig(const std::string& path, const AccessConfig& config);
