// site: the batteries one qavd serves.
#include "site.h"

#include <algorithm>

const DaemonOptions* Site::find(const std::string& battery) const
{
    auto found = std::find_if(batteries.begin(), batteries.end(),
                              [&](const DaemonOptions& each) { return each.name == battery; });
    return found == batteries.end() ? nullptr : &*found;
}

std::string batteryPageUrl(const Site& site, const std::string& battery)
{
    const std::string& url = site.batteries.front().publicUrl;
    if (url.empty() || !site.several()) return url;
    return url + (url.back() == '/' ? "" : "/") + "battery/" + battery + "/";
}
