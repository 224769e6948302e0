#pragma once
// Where the Help menu sends the user: the support mailbox and the maker's
// web site. The runtime's download page is kept with the runtime check.

constexpr char kSupportMailUrl[] = "mailto:support@orvanta-software.com?subject=Lumacast%201.33";
constexpr char kWebSiteUrl[] = "https://orvanta-software.com/lumacast/";
