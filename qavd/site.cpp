// site: the batteries one qavd serves.
#include "site.h"

std::string batteryPageUrl(const Site& site, const std::string& battery)
{
    const std::string& url = site.batteries.front().publicUrl;
    if (url.empty() || !site.several()) return url;
    return url + (url.back() == '/' ? "" : "/") + "battery/" + battery + "/";
}
